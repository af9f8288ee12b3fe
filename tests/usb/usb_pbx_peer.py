#!/usr/bin/python3
"""A PBX on an emulated USB device.

umockdev puts a fake device into a sandbox (a sysfs entry with its
descriptors and a /dev/bus/usb node); an unmodified libusb program run in
the sandbox opens it, and every usbdevfs ioctl it makes lands in the
handler below, which plays the PBX's end of the link on bulk OUT 0x04 and
bulk IN 0x84:

- the service request 0x1B 0x43 is answered with "x\\r" then "CTI 9600\\r";
- START and DISC are answered with UA, every I-frame with RR (the payload
  is kept in `received`), a poll (RR, RNR or REJ with the P bit at an odd
  address) with RR and the F bit, so that an idle link stays up;
- test hooks, sent as raw OUT transfers: b"ECHO:" + bytes comes back as one
  IN transfer of the bytes; b"FAIL" stalls the transfer; b"UNPLUG" pulls
  the device (pending reads end with ENODEV, later submits fail with it).
  A test that holds the PbxDevice may instead set `stall_writes` (the next
  so many OUT transfers stall and are not taken), clear `answer_disc`, call
  unplug() or send_payload(), and read `host_bytes` (every byte the host
  wrote and the device took, hooks excluded).

Use as a module (UsbPbx) or from the command line:

    umockdev-wrapper /usr/bin/python3 usb_pbx_peer.py [--id VID:PID] [--greet HEX] -- PROGRAM ARGS...

which runs PROGRAM in the sandbox with one emulated PBX and exits with its
exit code. Every payload the PBX receives is printed on standard error as
"pbx: payload AA HEX"; with --greet the PBX sends the payload HEX (address
0) once the link is set up.
"""

import errno
import signal
import struct
import subprocess
import sys
import threading

import gi

gi.require_version('UMockdev', '1.0')
from gi.repository import UMockdev  # noqa: E402


def _ioc(direction, number, size):
    return (direction << 30) | (size << 16) | (ord('U') << 8) | number


_READ, _WRITE = 2, 1
_URB_SIZE = 56  # struct usbdevfs_urb on a 64-bit build
_URB_STATUS, _URB_BUFFER, _URB_LENGTH, _URB_ACTUAL = 4, 16, 24, 28

SUBMITURB = _ioc(_READ, 10, _URB_SIZE)
DISCARDURB = _ioc(0, 11, 0)
REAPURB = _ioc(_WRITE, 12, 8)
REAPURBNDELAY = _ioc(_WRITE, 13, 8)
CLAIMINTERFACE = _ioc(_READ, 15, 4)
RELEASEINTERFACE = _ioc(_READ, 16, 4)
GETDRIVER = _ioc(_WRITE, 8, 4 + 256)
USBIOCTL = _ioc(_READ | _WRITE, 18, 16)
GET_CAPABILITIES = _ioc(_READ, 26, 4)
DISCONNECT_CLAIM = _ioc(_READ, 27, 4 + 4 + 256)
CONTROL = _ioc(_READ | _WRITE, 0, 24)
CAP_BULK_CONTINUATION = 0x02
CAP_NO_PACKET_SIZE_LIM = 0x04

OUT_PIPE, IN_PIPE = 0x04, 0x84


def crc16(data):
    """CRC-16/CCITT-FALSE, as the link protects its frames."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def short_frame(control, address):
    body = bytes([control, address])
    return b'\x16\x16' + body + struct.pack('>H', crc16(body))


def descriptors(vendor, product, out_ep=OUT_PIPE, in_ep=IN_PIPE):
    """Device and configuration descriptors of a one-interface device with
    two bulk endpoints."""
    device = struct.pack('<BBHBBBBHHHBBBB', 18, 1, 0x0200, 0, 0, 0, 64,
                         vendor, product, 0x0100, 0, 0, 0, 1)
    interface = struct.pack('<BBBBBBBBB', 9, 4, 0, 0, 2, 0xFF, 0, 0, 0)
    endpoints = (struct.pack('<BBBBHB', 7, 5, out_ep, 2, 512, 0) +
                 struct.pack('<BBBBHB', 7, 5, in_ep, 2, 512, 0))
    config = struct.pack('<BBHBBBBB', 9, 2, 9 + len(interface) + len(endpoints),
                         1, 1, 0, 0x80, 50)
    return device + config + interface + endpoints


class PbxDevice:
    """One emulated device and the PBX behind it."""

    def __init__(self, devnode):
        self.devnode = devnode
        self.lock = threading.Lock()
        self.pending_in = []     # submitted IN URBs waiting for data
        self.reapable = []       # URBs finished, oldest first
        self.to_host = []        # IN transfers waiting for a read
        self.out_log = []        # every OUT transfer's bytes
        self.received = []       # payloads of I-frames
        self.unplugged = False
        self.claimed = False
        self.claims = 0
        self.discards = 0
        self.stream = b''
        self.vr = 0              # next N(S) expected from the host
        self.vs = 0              # N(S) of the PBX's next I-frame
        self.host_bytes = bytearray()
        self.stall_writes = 0
        self.stalled = []        # OUT transfers refused with a stall
        self.answer_disc = True
        self.submits_after_unplug = 0
        self.on_payload = None   # called with (address, payload)
        self.on_established = None

    # -- the PBX --------------------------------------------------------
    def _from_host(self, data):
        self.out_log.append(data)
        if data.startswith(b'ECHO:'):
            self.to_host.append(data[5:])
            return
        if data == b'UNPLUG':
            self._unplug()
            return
        self.host_bytes += data
        self.stream += data
        self._parse()

    def _parse(self):
        while True:
            if b'\x1b\x43' in self.stream and b'\x16\x16' not in self.stream:
                self.stream = self.stream.split(b'\x1b\x43', 1)[1]
                self.to_host += [b'x\r', b'CTI 9600\r']
                continue
            start = self.stream.find(b'\x16\x16')
            if start < 0 or len(self.stream) < start + 6:
                return
            frame = self.stream[start:]
            control, address = frame[2], frame[3]
            if control & 1 == 0:  # I-frame
                length = (frame[4] << 8) | frame[5]
                if len(frame) < 10 + length:
                    return
                payload = bytes(frame[8:8 + length])
                self.received.append(payload)
                if self.on_payload:
                    self.on_payload(address, payload)
                self.vr = ((control >> 1) + 1) & 7
                # A response: address 0 whatever the I-frame's address byte.
                self.to_host.append(short_frame(0x01 | (self.vr << 5), 0))
                self.stream = frame[10 + length:]
                continue
            if control == 0x3F or (control == 0x53 and self.answer_disc):  # START, DISC
                if control == 0x3F:
                    self.vr = self.vs = 0
                self.to_host.append(short_frame(0x73, address))
                if control == 0x3F and self.on_established:
                    self.on_established(self)
            elif control & 0x03 == 0x01 and control & 0x10 and address & 1:
                # A poll (a command: address bit 0 set) gets a final
                # response at address 0; a final response gets nothing.
                self.to_host.append(short_frame(0x11 | (self.vr << 5), 0))
            self.stream = frame[6:]

    def send_payload(self, payload, address=0):
        """Queues an I-frame for the host (N(S) V(S), N(R) V(R))."""
        with self.lock:
            self._queue_payload(payload, address)
            self._serve()

    def _queue_payload(self, payload, address):
        control = (self.vr << 5) | (self.vs << 1)
        self.vs = (self.vs + 1) & 7
        header = bytes([control, address]) + struct.pack('>H', len(payload))
        frame = (b'\x16\x16' + header + struct.pack('>H', crc16(header)) + payload +
                 struct.pack('>H', crc16(payload)))
        self.to_host.append(frame)

    def unplug(self):
        """Pulls the device, as the b"UNPLUG" hook does."""
        with self.lock:
            self._unplug()

    def _unplug(self):
        self.unplugged = True
        for urb, _ in self.pending_in:
            urb.update(_URB_STATUS, struct.pack('<i', -errno.ENODEV))
            self.reapable.append(urb)
        self.pending_in = []

    def _serve(self):
        while self.pending_in and self.to_host:
            urb, buf = self.pending_in.pop(0)
            room = len(buf.retrieve())
            data = self.to_host.pop(0)
            if len(data) > room:
                self.to_host.insert(0, data[room:])
                data = data[:room]
            buf.update(0, data)
            urb.update(_URB_ACTUAL, struct.pack('<i', len(data)))
            self.reapable.append(urb)

    # -- usbdevfs -------------------------------------------------------
    def handle(self, client):
        request = client.get_request()
        arg = client.get_arg()
        with self.lock:
            result = self._ioctl(request, arg)
        client.complete(*result)
        return True

    def _ioctl(self, request, arg):
        if request == GET_CAPABILITIES:
            arg.resolve(0, 4).update(0, struct.pack('<I', CAP_BULK_CONTINUATION |
                                                     CAP_NO_PACKET_SIZE_LIM))
            return 0, 0
        if request in (GETDRIVER, USBIOCTL):
            return -1, errno.ENODATA  # no kernel driver bound
        if request in (CLAIMINTERFACE, DISCONNECT_CLAIM):
            self.claimed = True
            self.claims += 1
            return (-1, errno.ENODEV) if self.unplugged else (0, 0)
        if request == RELEASEINTERFACE:
            self.claimed = False
            return 0, 0
        if request == SUBMITURB:
            if self.unplugged:
                self.submits_after_unplug += 1
                return -1, errno.ENODEV
            urb = arg.resolve(0, _URB_SIZE)
            raw = bytes(urb.retrieve())
            endpoint = raw[1]
            length = struct.unpack_from('<i', raw, _URB_LENGTH)[0]
            buf = urb.resolve(_URB_BUFFER, length)
            if endpoint == OUT_PIPE:
                data = bytes(buf.retrieve())
                stall = data.startswith(b'FAIL') or self.stall_writes > 0
                if stall:
                    urb.update(_URB_STATUS, struct.pack('<i', -errno.EPIPE))
                else:
                    urb.update(_URB_ACTUAL, struct.pack('<i', length))
                self.reapable.append(urb)
                if stall:
                    # A stalled endpoint takes nothing.
                    self.stall_writes = max(self.stall_writes - 1, 0)
                    self.out_log.append(data)
                    self.stalled.append(data)
                else:
                    self._from_host(data)
            elif endpoint == IN_PIPE:
                self.pending_in.append((urb, buf))
            else:
                return -1, errno.ENOENT
            self._serve()
            return 0, 0
        if request == DISCARDURB:
            address = struct.unpack('<Q', bytes(arg.retrieve())[:8])[0]
            for i, (urb, _) in enumerate(self.pending_in):
                if urb.client_addr == address:
                    urb.update(_URB_STATUS, struct.pack('<i', -errno.ENOENT))
                    self.reapable.append(urb)
                    del self.pending_in[i]
                    self.discards += 1
                    return 0, 0
            return -1, errno.EINVAL
        if request in (REAPURB, REAPURBNDELAY):
            if not self.reapable:
                return -1, (errno.ENODEV if self.unplugged else errno.EAGAIN)
            arg.resolve(0, 8).set_ptr(0, self.reapable.pop(0))
            return 0, 0
        return -1, errno.ENOTTY


class UsbPbx:
    """A sandbox with emulated USB devices; the PBX ones answer as a PBX."""

    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        self.handlers = []
        self.devices = {}

    def add(self, address, vendor=0x1a2b, product=0x3c4d, pipes=(OUT_PIPE, IN_PIPE)):
        """Adds a device on bus 1; returns its PbxDevice (None for a device
        without the PBX's pipe pair, which nothing should open)."""
        devnode = '/dev/bus/usb/001/%03d' % address
        desc = descriptors(vendor, product, *pipes)
        self.testbed.add_from_string(
            'P: /devices/pci0000:00/usb1/1-%d\n'
            'N: bus/usb/001/%03d\n'
            'E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n'
            'E: BUSNUM=001\nE: DEVNUM=%03d\nE: DEVNAME=%s\n'
            'A: busnum=1\\n\nA: devnum=%d\\n\nA: speed=480\\n\n'
            'A: bConfigurationValue=1\\n\n'
            'A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n'
            'H: descriptors=%s\n' % (address, address, address, devnode, address,
                                     vendor, product, desc.hex().upper()))
        if pipes != (OUT_PIPE, IN_PIPE):
            return None
        device = PbxDevice(devnode)
        handler = UMockdev.IoctlBase()
        handler.connect('handle-ioctl', lambda _h, client: device.handle(client))
        self.testbed.attach_ioctl(devnode, handler)
        self.handlers.append(handler)
        self.devices[devnode] = device
        return device

    def run(self, argv, timeout=30):
        """Runs a program in the sandbox; returns (exit code, stdout text)."""
        # The child inherits the sandbox through the C environment, which
        # the testbed set up; os.environ does not see those variables.
        proc = subprocess.run(argv, stdout=subprocess.PIPE, timeout=timeout)
        return proc.returncode, proc.stdout.decode('latin-1')


def main(argv):
    vendor, product = 0x1a2b, 0x3c4d
    greeting = None
    try:
        while len(argv) > 2 and argv[1] in ('--id', '--greet'):
            if argv[1] == '--id':
                vendor, product = (int(x, 16) for x in argv[2].split(':'))
            else:
                greeting = bytes.fromhex(argv[2])
            argv = argv[2:]
    except ValueError:
        argv = []
    if len(argv) < 3 or argv[1] != '--':
        print(__doc__, file=sys.stderr)
        return 2
    pbx = UsbPbx()
    device = pbx.add(2, vendor, product)

    def show(address, payload):
        print('pbx: payload %02X %s' % (address, payload.hex().upper()), file=sys.stderr, flush=True)
    device.on_payload = show
    if greeting:
        # Goes out right behind the UA, under the lock the handler holds.
        device.on_established = lambda dev: dev._queue_payload(greeting, 0)
    program = subprocess.Popen(argv[2:])
    # A terminal's Ctrl-C reaches the program too, and a SIGTERM is passed
    # on: either way the program takes the link down with the PBX still
    # answering, and the peer ends with it.
    signal.signal(signal.SIGTERM, lambda *_: program.send_signal(signal.SIGTERM))
    while True:
        try:
            return program.wait()
        except KeyboardInterrupt:
            continue


if __name__ == '__main__':
    sys.exit(main(sys.argv))
