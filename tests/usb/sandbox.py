"""Entry into a umockdev sandbox for the USB tests.

A test script calls enter() first thing: it re-runs the script under
umockdev-wrapper (whose preload library catches the device accesses) and
exits 77, the skip code, when umockdev or its Python bindings are missing.
"""

import os
import shutil
import sys

SKIP = 77


def enter():
    """Returns the usb_pbx_peer module once inside the sandbox."""
    if 'umockdev' not in os.environ.get('LD_PRELOAD', ''):
        wrapper = shutil.which('umockdev-wrapper')
        if wrapper is None:
            print('umockdev-wrapper not found: skipped')
            sys.exit(SKIP)
        os.execv(wrapper, [wrapper, sys.executable] + sys.argv)
    try:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import usb_pbx_peer
    except (ImportError, ValueError) as e:
        print('umockdev Python bindings missing (%s): skipped' % e)
        sys.exit(SKIP)
    # A sanitizer build runs behind the sandbox's preload library, which
    # AddressSanitizer would otherwise refuse.
    options = os.environ.get('ASAN_OPTIONS', '')
    os.environ['ASAN_OPTIONS'] = (options + ':' if options else '') + 'verify_asan_link_order=0'
    return usb_pbx_peer
