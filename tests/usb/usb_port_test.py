#!/usr/bin/python3
"""The USB port with the real libusb against an emulated PBX device.

    usb_port_test.py PROBE TEST

runs one test (a method name below without "test_") in its own sandbox.
It re-runs itself under umockdev-wrapper and exits 77 when umockdev or its
Python bindings are missing.
"""

import sys
import unittest

if __name__ == '__main__':
    import sandbox
    peer = sandbox.enter()
    UsbPbx, short_frame = peer.UsbPbx, peer.short_frame

PROBE = None


def traces(output):
    return [line[6:] for line in output.splitlines() if line.startswith('TRACE ')]


def results(output):
    return [line for line in output.splitlines() if not line.startswith('TRACE ')]


class UsbPortTest(unittest.TestCase):
    def setUp(self):
        self.pbx = UsbPbx()

    def probe(self, *steps):
        code, out = self.pbx.run([PROBE] + list(steps))
        self.assertEqual(code, 0, out)
        return out

    def test_no_device(self):
        # A device without the pipe pair is not the PBX.
        self.pbx.add(2, pipes=(0x02, 0x81))
        out = self.probe('open', 'close', 'close')
        self.assertEqual(results(out), ['OpenUsb 0 handle -1', 'CloseUsb 1', 'CloseUsb 1'])
        self.assertEqual(traces(out), ['Error: lpDevicePath == NULL'])

    def test_discovery(self):
        first = self.pbx.add(2)
        self.pbx.add(3, pipes=(0x01, 0x82))
        second = self.pbx.add(4)
        out = self.probe('open', 'send=' + b'ECHO:\x01'.hex(), 'recv')
        self.assertEqual(traces(out), [
            'Device path:/dev/bus/usb/001/002 (1a2b:3c4d)',
            'USB device not used:/dev/bus/usb/001/004 (1a2b:3c4d)'])
        self.assertEqual(results(out)[0], 'OpenUsb 1 handle %d' % (1 << 8 | 2))
        self.assertEqual(results(out)[2], 'ReceiveUsb 1 01')
        self.assertEqual((first.claims, second.claims), (1, 0))
        self.assertEqual(first.out_log, [b'ECHO:\x01'])
        self.assertEqual(second.out_log, [])

    def test_filter(self):
        self.pbx.add(2)
        other = self.pbx.add(5, vendor=0x0abc, product=0x0001)
        out = self.probe('filter=ABC:1', 'open', 'send=1b43')
        self.assertIn('Device path:/dev/bus/usb/001/005 (0abc:0001)', traces(out))
        self.assertNotIn('/dev/bus/usb/001/002', out)
        self.assertEqual(other.out_log, [b'\x1b\x43'])
        # A filter naming nothing present, and a malformed one, open nothing.
        for text in ('filter=dead:beef', 'filter=1a2b-3c4d'):
            out = self.probe(text, 'open')
            self.assertEqual(results(out), ['OpenUsb 0 handle -1'])
            self.assertEqual(traces(out), ['Error: lpDevicePath == NULL'])

    def test_payload(self):
        pbx = self.pbx.add(2)
        start = short_frame(0x3F, 0).hex()
        payload = bytes(range(256)) * 3
        out = self.probe('open', 'send=1b43', 'recv', 'recv', 'send=' + start, 'recv',
                         'send=4543484f3a' + payload.hex(), 'recv', 'close')
        self.assertEqual(results(out), [
            'OpenUsb 1 handle 258', 'SendUsb 2',
            'ReceiveUsb 2 ' + b'x\r'.hex(), 'ReceiveUsb 9 ' + b'CTI 9600\r'.hex(),
            'SendUsb 6', 'ReceiveUsb 6 ' + short_frame(0x73, 0).hex(),
            'SendUsb %d' % (5 + len(payload)), 'ReceiveUsb %d %s' % (len(payload), payload.hex()),
            'CloseUsb 1'])
        self.assertFalse(pbx.claimed)

    def test_write_failure(self):
        pbx = self.pbx.add(2)
        out = self.probe('open', 'send=4641494c', 'send=1b43')
        self.assertEqual(results(out)[1:], ['SendUsb 0', 'SendUsb 2'])
        self.assertEqual(traces(out)[1:], ['WinUsb_WritePipe failed:-9', '0 Bytes Written!'])
        self.assertEqual(pbx.out_log[-1], b'\x1b\x43')

    def test_unplug(self):
        self.pbx.add(2)
        out = self.probe('open', 'gone', 'send=' + b'UNPLUG'.hex(), 'recv', 'gone',
                         'send=1b43', 'close')
        self.assertEqual(results(out), [
            'OpenUsb 1 handle 258', 'IsGone 0', 'SendUsb 6', 'ReceiveUsb 0 ', 'IsGone 1',
            'SendUsb 0', 'CloseUsb 1'])
        self.assertEqual(traces(out)[1:], [
            'WinUsb_ReadPipe failed:-4', 'WinUsb_WritePipe failed:-4', '0 Bytes Written!'])

    def test_close_pending(self):
        pbx = self.pbx.add(2)
        out = self.probe('open', 'recv-then-close', 'recv')
        self.assertEqual(results(out), [
            'OpenUsb 1 handle 258', 'CloseUsb 1', 'ReceiveUsb 0', 'ReceiveUsb 0 '])
        self.assertEqual(traces(out)[1:], [
            'WinUsb_ReadPipe failed:-10', 'WinUsb_ReadPipe failed:-10'])
        # The pending read was cancelled on the device, not abandoned.
        self.assertEqual(pbx.discards, 1)
        self.assertFalse(pbx.claimed)


if __name__ == '__main__':
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    PROBE = sys.argv[1]
    suite = unittest.TestSuite([UsbPortTest('test_' + sys.argv[2])])
    outcome = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    sys.exit(0 if outcome.wasSuccessful() else 1)
