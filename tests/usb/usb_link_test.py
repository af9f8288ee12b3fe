#!/usr/bin/python3
"""The real kavro on a USB link: libusb against an emulated PBX device.

    usb_link_test.py TEST

runs one test (a method name below without "test_") in its own sandbox,
with the binaries of the build directory KAVRO_BUILD_DIR (the recording
companion library among them). It re-runs itself under umockdev-wrapper and
exits 77 when umockdev or its Python bindings are missing.
"""

import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'e2e'))

if __name__ == '__main__':
    import sandbox
    UsbPbx = sandbox.enter().UsbPbx

from harness import (DISC, KAVRO, KAVROCTL, RECORDER, RR, START, Kavro, decode,  # noqa: E402
                     require_binaries, wait_for)

JOIN_TIMEOUT_WARNING = 'WaitForSingleObject(hCommWatchThread,3000)==WAIT_TIMEOUT!!!'


class UsbLinkTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, RECORDER)
        self.pbx = UsbPbx()
        # The testbed tells its children where the sandbox is through the C
        # environment; the harness hands kavro a copy of os.environ.
        os.environ['UMOCKDEV_DIR'] = self.pbx.testbed.get_root_dir()

    def start(self, **kw):
        kw.setdefault('registry_values', {'Link': 'USB'})
        return Kavro(self, **kw)

    def established(self):
        device = self.pbx.add(2)
        k = self.start()
        k.wait_record('event 1')
        return k, device

    @staticmethod
    def sent(device):
        """Frames and raw bytes kavro wrote to the device (and it took)."""
        with device.lock:
            data = bytearray(device.host_bytes)
        return decode(data)

    def wait_frame(self, device, kind, code=None, count=1):
        def matching():
            return [f for f in self.sent(device)[0]
                    if f.kind == kind and (code is None or f.code == code)]
        wait_for(lambda: len(matching()) >= count, 'frame %s %r' % (kind, code))
        return matching()[count - 1]

    def test_no_device_fails_the_open(self):
        # Present, but without the PBX's pipe pair: not a candidate.
        self.pbx.add(2, pipes=(0x02, 0x81))
        k = self.start()
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records(), ['event 18', 'event 0'])
        self.assertIn('OpenConnection USB failed !', k.log_messages())
        self.assertIn('KavroWnd: OpenConnection failed', k.log_messages())

    def test_ports_value_picks_the_second_device(self):
        first = self.pbx.add(2)
        second = self.pbx.add(5, vendor=0x0abc, product=0x0001)
        # Any name beginning with USB opens the device that discovery finds.
        k = self.start(ports={'USB': '0abc:0001'}, link_args=['USB2'])
        k.wait_record('event 1')
        frames, raw = self.sent(second)
        self.assertTrue(raw.startswith(b'\x1b\x43'), raw)
        self.assertEqual(frames[0].code, START)
        self.assertEqual((first.out_log, first.claims), ([], 0))

    def test_handshake_keeps_the_rate_and_sets_the_link_up(self):
        k, device = self.established()
        self.assertEqual(k.records(), ['event 17', 'event 1'])
        frames, raw = self.sent(device)
        self.assertTrue(raw.startswith(b'\x1b\x43'), raw)
        self.assertEqual((frames[0].kind, frames[0].code, frames[0].dest), ('U', START, 0))
        log = k.log_messages()
        # The PBX named 9600: a USB link has no rate to set.
        self.assertFalse([m for m in log if m.startswith('InitV24')], log)
        connect = log.index('CTI-Link connect: 9600 Bps')
        self.assertEqual([m for m in log[connect:] if m.startswith('SendFrame')][:1], ['SendFrame U-START'])
        self.assertFalse([m for m in log[:connect] if m.startswith('SendFrame')])
        self.assertIn('CheckFrame U-UA', log[connect:])

    def test_payloads_cross_the_link_byte_for_byte(self):
        k, device = self.established()
        payload = bytes(range(256)) * 2 + b'\x16\x16\x0d\x0a'
        self.assertEqual(k.control().send_payload(payload, address=0x7F), 1)
        f = self.wait_frame(device, 'I')
        self.assertEqual((f.ns, f.nr, f.dest, f.payload), (0, 0, 0x7F, payload))
        self.assertEqual(device.received, [payload])
        # The PBX's I-frame acknowledges ours and carries a payload longer
        # than one bulk packet.
        inbound = b'\x00\x16\xff call event ' + bytes(range(256)) * 3
        device.send_payload(inbound, address=0x21)
        k.wait_record('payload 21 ' + inbound.hex().upper())
        rr = self.wait_frame(device, 'S', RR)
        self.assertEqual((rr.nr, rr.dest), (1, 0))

    def test_stalled_write_is_sent_again(self):
        # The failure's own trace lines are detail lines, which the log never
        # carries; what shows is the frame repeated once the pipe takes data.
        k, device = self.established()
        device.stall_writes = 1
        self.assertEqual(k.control().send_payload(b'stalled'), 1)
        wait_for(lambda: device.received == [b'stalled'], 'the repeated I-frame')
        frames = [f for f in self.sent(device)[0] if f.kind == 'I']
        self.assertEqual([(f.ns, f.payload) for f in frames], [(0, b'stalled')])
        stalled, _ = decode(bytearray(b''.join(device.stalled)))
        self.assertEqual([(f.kind, f.payload) for f in stalled], [('I', b'stalled')])
        self.assertEqual(len([m for m in k.log_messages() if m.startswith('SendFrame I-Frame')]), 2)
        self.assertIsNone(k.proc.poll())
        self.assertEqual(k.records(), ['event 17', 'event 1'])

    def test_unplug_releases_the_link_at_once(self):
        k, device = self.established()
        frames_before = [m for m in k.log_messages() if m.startswith('SendFrame')]
        device.unplug()
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records(), ['event 17', 'event 1', 'event 0'])
        log = k.log_messages()
        # Released by the receive thread, not by the link timers giving up
        # after polls that nobody answers.
        self.assertEqual([m for m in log if m.startswith('SendFrame')], frames_before)
        self.assertIn('CTI Link Released', log)
        self.assertNotIn(JOIN_TIMEOUT_WARNING, log)
        # Nor did the reader keep trying the gone device.
        self.assertLessEqual(device.submits_after_unplug, 2)

    def test_close_with_a_read_pending_ends_promptly(self):
        require_binaries(KAVROCTL)
        k, device = self.established()
        # The PBX leaves DISC unanswered, so the link is released by the
        # link timers on the main thread while the receive thread waits in
        # a read that nothing will complete but the close of the device.
        device.answer_disc = False
        r = subprocess.run([KAVROCTL, '--run-dir', k.run_dir, 'close'], capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.wait_frame(device, 'U', DISC)
        k.wait_log('CTI Link Released')
        released = time.monotonic()
        self.assertEqual(k.wait_exit(), 0)
        # Not the 3-second wait for the receive thread: a generous bound on
        # a wake-up that must come at once.
        self.assertLess(time.monotonic() - released, 2.5)
        self.assertNotIn(JOIN_TIMEOUT_WARNING, k.log_messages())
        self.assertEqual(k.records()[-1], 'event 0')
        # The pending read was cancelled on the device, and the interface
        # given back.
        self.assertEqual(device.discards, 1)
        self.assertFalse(device.claimed)

    def test_second_sigterm_ends_at_once(self):
        k, device = self.established()
        device.answer_disc = False
        k.proc.send_signal(signal.SIGTERM)
        self.wait_frame(device, 'U', DISC)
        k.proc.send_signal(signal.SIGTERM)
        self.assertEqual(k.wait_exit(), 0)
        # The receive thread ends with the closed device, although the link
        # was never released.
        self.assertNotIn(JOIN_TIMEOUT_WARNING, k.log_messages())
        self.assertEqual(k.records()[-1], 'event 0')
        self.assertFalse(device.claimed)


if __name__ == '__main__':
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    suite = unittest.TestSuite([UsbLinkTest('test_' + sys.argv[1])])
    outcome = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    if not outcome.wasSuccessful():
        sys.exit(1)
    # A binary not built is a skip, as a missing umockdev is.
    sys.exit(sandbox.SKIP if outcome.skipped else 0)
