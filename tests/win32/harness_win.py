"""Shared machinery of the end-to-end tests of the Windows program: the real
kavro.exe, KAVROD32.dll and kavroctl.exe under Wine, in the prefix that
scripts/test-windows.sh prepares, against the Linux kavro-pbx (or a scripted
peer) on a pseudo-terminal mapped as COM5, or on a loopback TCP socket.

Environment (set by scripts/test-windows.sh):
  WINEPREFIX            the prefix, booted, with its wineserver kept alive
  KAVRO_WIN_BUILD_DIR   the cross build (build-win32 or build-win64)
  KAVRO_WIN_BITS        32 or 64
  KAVRO_BUILD_DIR       the Linux build (for kavro-pbx)
  KAVRO_MODEM_SHIM      LD_PRELOAD value for the modem-line shim
"""

import os
import shutil
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "common"))

# Shared with the Linux harness: the pty peer, waiting, processes, trace log.
from harness_common import (PtyPeer, TracedRun, scratch_dir, start_pbx_on_pty, start_pbx_process,  # noqa: E402,F401
                            stop_process, wait_for)

BITS = int(os.environ.get("KAVRO_WIN_BITS", "32"))
WIN_BUILD = os.environ.get("KAVRO_WIN_BUILD_DIR", os.path.join(ROOT, "build-win%d" % BITS))
LINUX_BUILD = os.environ.get("KAVRO_BUILD_DIR", os.path.join(ROOT, "build"))
PREFIX = os.environ.get("WINEPREFIX", "")
SHIM = os.environ.get("KAVRO_MODEM_SHIM", "")

WINE = "/usr/lib/wine/wine" if BITS == 32 else "/usr/lib/wine/wine64"
KAVRO = os.path.join(WIN_BUILD, "kavro.exe")
KAVROCTL = os.path.join(WIN_BUILD, "kavroctl.exe")
KAVROD32 = os.path.join(WIN_BUILD, "KAVROD32.dll")
RECORDER_DLL = os.path.join(WIN_BUILD, "tests", "win32", "recorder", "KAVROD32.dll")
ONE_ORDINAL_DLL = os.path.join(WIN_BUILD, "tests", "win32", "one-ordinal", "KAVROD32.dll")
KAVRO_PBX = os.path.join(LINUX_BUILD, "kavro-pbx")

REGISTRY_KEY = r"HKLM\Software\Tovik\Tovik TK-Anlage"
# The view and the system directory a program of this bitness sees.
REG_VIEW = "/reg:32" if BITS == 32 else "/reg:64"
SYSTEM_DIR = os.path.join(PREFIX, "drive_c", "windows", "syswow64" if BITS == 32 else "system32")
LOG_PATH = os.path.join(SYSTEM_DIR, "kavro.log")
# Where kavro.exe remembers its last start failure.
LAST_FAILURE = os.path.join(PREFIX, "drive_c", "ProgramData", "kavro", "last-failure")
COM5 = os.path.join(PREFIX, "dosdevices", "com5")


def require_environment(test):
    missing = [p for p in (KAVRO, KAVROCTL, KAVROD32, KAVRO_PBX, WINE) if not os.path.exists(p)]
    if not PREFIX or not os.path.isdir(PREFIX):
        missing.append("WINEPREFIX")
    if missing:
        # scripts/test-windows.sh sets up everything: a gap there is a failure,
        # not a reason to skip.
        if os.environ.get("KAVRO_WIN_STRICT") == "1":
            test.fail("not available: %s" % ", ".join(missing))
        raise unittest.SkipTest("not available: %s" % ", ".join(missing))


def wine_env(extra=None):
    env = dict(os.environ)
    if SHIM:
        env["LD_PRELOAD"] = SHIM
    env.update(extra or {})
    return env


def windows_path(path):
    """A Linux path as Wine shows it to Windows programs (drive Z: is /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def set_registry(values):
    """Replaces the configuration key with `values`: str as REG_SZ, int as
    REG_DWORD."""
    subprocess.run([WINE, "reg", "delete", REGISTRY_KEY, "/f", REG_VIEW], env=wine_env(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    for name, value in values.items():
        kind = "REG_DWORD" if isinstance(value, int) else "REG_SZ"
        subprocess.run([WINE, "reg", "add", REGISTRY_KEY, "/v", name, "/t", kind, "/d", str(value), "/f", REG_VIEW],
                       env=wine_env(), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


def kavroctl(*args, timeout=20):
    return subprocess.run([WINE, KAVROCTL] + list(args), env=wine_env(), capture_output=True, timeout=timeout)


class KavroExe(TracedRun):
    """One run of the real kavro.exe under Wine. With `library`, kavro.exe is
    copied into a directory of its own beside that KAVROD32.dll (None: no
    library at all); otherwise it runs from the build beside the real one."""

    DEFAULT = object()
    NAME = "kavro.exe"
    EXIT_TIMEOUT = 20.0
    WAIT_TIMEOUT = 20.0
    INTERVAL = 0.02

    def __init__(self, test, registry=None, tail=None, library=DEFAULT, forget_failure=True):
        self.test = test
        self.dir = scratch_dir(test, "kavro-win-")
        exe = KAVRO
        if library is not KavroExe.DEFAULT:
            exe = os.path.join(self.dir, "kavro.exe")
            shutil.copy(KAVRO, exe)
            if library:
                shutil.copy(library, os.path.join(self.dir, "KAVROD32.dll"))
        self.record_path = os.path.join(self.dir, "record.txt")
        self.log_path = LOG_PATH
        set_registry(registry or {})
        # The trace log is on when the file exists at start.
        os.makedirs(SYSTEM_DIR, exist_ok=True)
        open(LOG_PATH, "wb").close()
        # Each test's start is a first start unless it says otherwise.
        if forget_failure and os.path.exists(LAST_FAILURE):
            os.remove(LAST_FAILURE)
        args = [WINE, exe] + ([tail] if tail is not None else [])
        # Started from a directory without a KAVROD32.dll: the DLL search
        # looks at the current directory too.
        self.proc = subprocess.Popen(args, cwd=self.dir, env=wine_env({"KAVRO_RECORD_FILE": windows_path(self.record_path)}),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        test.addCleanup(self.kill)

    def wait_window(self, timeout=20.0):
        """Waits until the control window answers (a command word it refuses)."""
        end = time.monotonic() + timeout
        while True:
            r = kavroctl("command", "0")
            if r.returncode == 1:
                return
            if time.monotonic() > end or self.proc.poll() is not None:
                raise AssertionError("no control window (kavroctl: %r); log:\n%s" % (r.stderr, self.log()))
            time.sleep(0.05)

    def listen(self, count, timeout=30):
        """Starts kavroctl.exe listen --json; returns the process."""
        listener = subprocess.Popen([WINE, KAVROCTL, "listen", "--json", "--count", str(count), "--timeout", str(timeout)],
                                    env=wine_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.test.addCleanup(stop_process, listener)
        return listener


def start_tcp_pbx(test, *args, payloads=None):
    """kavro-pbx on a loopback TCP port, sending `payloads` once connected;
    returns the process and the port."""
    port_file = os.path.join(scratch_dir(test, "kavro-win-pbx-"), "port")
    pbx = subprocess.Popen([KAVRO_PBX, "--tcp", "0", "--port-file", port_file, "-v"] + list(args),
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    test.addCleanup(stop_process, pbx)
    # Payloads to send, one hex line each, then the end of the input.
    pbx.stdin.write("".join(p.hex() + "\n" for p in payloads or []).encode())
    pbx.stdin.close()
    wait_for(lambda: os.path.exists(port_file), "kavro-pbx to start")
    with open(port_file) as f:
        port = int(f.read())
    test.assertIn(b"listening on", pbx.stdout.readline())
    return pbx, port


def start_pbx(test, *args):
    """kavro-pbx on a pseudo-terminal that Wine shows as COM5."""
    return start_pbx_on_pty(test, KAVRO_PBX, "--symlink", COM5, *args)
