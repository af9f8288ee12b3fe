#!/usr/bin/env python3
"""Writes a pcapng capture of kavro link traffic for Wireshark.

Without --from-log it writes a small sample: a serial link (raw serial bytes
on link type USER0, 147, one packet per read or write, the direction in each
packet's flags) with the service handshake, frames of every kind, noise, a
damaged frame and a frame split across two packets; and two TCP links (one on
the PBX port 5002, one on another port that only the heuristic finds) with
frames, keepalives, two frames in one segment and one frame split across two.

With --from-log it turns a kavro trace log into a capture: every block kavro
wrote ("SendConnection():") or read ("Received:") becomes one packet, serial
and USB runs as USER0 packets, TCP runs as a TCP connection to the PBX.

    contrib/wireshark/make_capture.py -o kavro-sample.pcapng
    contrib/wireshark/make_capture.py --from-log /var/log/kavro.log -o kavro.pcapng
"""

import argparse
import re
import struct
import sys
import time

LINKTYPE_ETHERNET = 1
LINKTYPE_USER0 = 147
INBOUND, OUTBOUND = 1, 2  # pcapng packet flags: received by, or sent by, the capturing host (kavro's PC)

SYN = 0x16
RR, RNR, REJ, PF = 0x01, 0x05, 0x09, 0x10
DM, START, DISC, UA, FRMR = 0x0F, 0x3F, 0x53, 0x73, 0x83
PBX_PORT = 5002


def crc16(data):
    """CRC-16/CCITT-FALSE, as the link uses it: polynomial 0x1021, initial 0xFFFF."""
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def with_crc(body):
    c = crc16(body)
    return body + bytes([c >> 8, c & 0xFF])


def s_frame(code, nr, dest=0):
    return bytes([SYN, SYN]) + with_crc(bytes([(code | (nr << 5)) & 0xFF, dest]))


def u_frame(code, dest=0):
    return bytes([SYN, SYN]) + with_crc(bytes([code, dest]))


def i_frame(ns, nr, payload, dest=0):
    head = bytes([((nr << 5) | ((ns & 7) << 1)) & 0xFF, dest, len(payload) >> 8, len(payload) & 0xFF])
    return bytes([SYN, SYN]) + with_crc(head) + with_crc(payload)


def tcp_frame(payload):
    return bytes([0xC5, len(payload) >> 8, len(payload) & 0xFF]) + payload


# --------------------------------------------------------------------------
# pcapng


def _block(block_type, body):
    body += b"\0" * (-len(body) % 4)
    length = 12 + len(body)
    return struct.pack("<II", block_type, length) + body + struct.pack("<I", length)


def _option(code, value):
    return struct.pack("<HH", code, len(value)) + value + b"\0" * (-len(value) % 4)


class Pcapng:
    def __init__(self):
        self.blocks = [_block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))]
        self.interfaces = {}

    def interface(self, linktype, name):
        if linktype not in self.interfaces:
            options = _option(2, name.encode()) + _option(0, b"")
            self.blocks.append(_block(1, struct.pack("<HHI", linktype, 0, 65535) + options))
            self.interfaces[linktype] = len(self.interfaces)
        return self.interfaces[linktype]

    def packet(self, interface, micros, data, direction=None, wire_length=None):
        """`wire_length`: the packet's real length when `data` is only its start."""
        body = struct.pack("<IIIII", interface, micros >> 32, micros & 0xFFFFFFFF, len(data),
                           max(wire_length or 0, len(data)))
        body += data + b"\0" * (-len(data) % 4)
        if direction:
            body += _option(2, struct.pack("<I", direction)) + _option(0, b"")
        self.blocks.append(_block(6, body))

    def write(self, path):
        with open(path, "wb") as f:
            f.write(b"".join(self.blocks))


def _checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


class TcpConnection:
    """One TCP connection from kavro's PC to the PBX, written as Ethernet
    packets with correct sequence numbers and checksums."""

    def __init__(self, capture, client=("192.168.0.10", 49152), server=("192.168.0.250", PBX_PORT)):
        self.capture = capture
        self.ifc = capture.interface(LINKTYPE_ETHERNET, "lan")
        self.ends = {OUTBOUND: client, INBOUND: server}
        self.seq = {OUTBOUND: 1000, INBOUND: 5000}

    def _send(self, micros, direction, flags, payload=b"", wire_length=None):
        shown = len(payload)
        payload += b"\0" * ((wire_length or 0) - shown)
        src, dst = self.ends[direction], self.ends[OUTBOUND if direction == INBOUND else INBOUND]
        back = OUTBOUND if direction == INBOUND else INBOUND
        ip_src, ip_dst = (bytes(int(x) for x in a[0].split(".")) for a in (src, dst))
        tcp = struct.pack("!HHIIBBHHH", src[1], dst[1], self.seq[direction],
                          self.seq[back] if flags & 0x10 else 0, 5 << 4, flags, 65535, 0, 0)
        pseudo = ip_src + ip_dst + struct.pack("!BBH", 0, 6, len(tcp) + len(payload))
        tcp = tcp[:16] + struct.pack("!H", _checksum(pseudo + tcp + payload)) + tcp[18:]
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(payload), 0, 0x4000, 64, 6, 0, ip_src, ip_dst)
        ip = ip[:10] + struct.pack("!H", _checksum(ip)) + ip[12:]
        macs = {OUTBOUND: b"\x02\x00\x00\x00\x00\x0a", INBOUND: b"\x02\x00\x00\x00\x00\xfa"}
        ether = macs[back] + macs[direction] + b"\x08\x00"
        packet = ether + ip + tcp + payload
        self.capture.packet(self.ifc, micros, packet[:len(packet) - len(payload) + shown], direction, len(packet))
        self.seq[direction] = (self.seq[direction] + len(payload) + (1 if flags & 0x03 else 0)) & 0xFFFFFFFF

    def open(self, micros):
        self._send(micros, OUTBOUND, 0x02)
        self._send(micros + 100, INBOUND, 0x12)
        self._send(micros + 200, OUTBOUND, 0x10)

    def data(self, micros, direction, payload, wire_length=None):
        self._send(micros, direction, 0x18, payload, wire_length)

    def close(self, micros):
        self._send(micros, OUTBOUND, 0x11)
        self._send(micros + 100, INBOUND, 0x11)
        self._send(micros + 200, OUTBOUND, 0x10)


# --------------------------------------------------------------------------


def sample(capture, start):
    """`start` in seconds since 1970; the packets follow 50 ms apart."""
    serial = capture.interface(LINKTYPE_USER0, "serial")
    t = start * 1000000

    def out(data):
        nonlocal t
        t += 50000
        capture.packet(serial, t, data, OUTBOUND)

    def inn(data):
        nonlocal t
        t += 50000
        capture.packet(serial, t, data, INBOUND)

    out(b"\x1b\x43")                                          # service request
    inn(b"PBX ready\r\nCTI 19200\r")                          # a first line, then the answer
    out(u_frame(START))
    inn(u_frame(UA))
    out(i_frame(0, 0, b"dial 1234", dest=0x21))
    inn(s_frame(RR, 1) + i_frame(0, 1, b"RING 0815"))         # two frames in one read
    out(s_frame(RR, 1))
    out(s_frame(RR | PF, 1, dest=1))                          # poll
    inn(b"\xab\xcd\xef" + s_frame(RR | PF, 1))                # noise, then the final answer
    damaged = bytearray(i_frame(1, 1, b"CALL 42"))
    damaged[-1] ^= 0x04
    inn(bytes(damaged))                                       # payload CRC damaged
    split = i_frame(1, 1, b"CALL 42, again")
    inn(split[:9])                                            # one frame across two reads
    inn(split[9:])
    out(s_frame(RR, 2))
    out(u_frame(DISC))
    inn(u_frame(UA))

    lan = TcpConnection(capture)
    t += 1000000
    lan.open(t)
    lan.data(t + 10000, OUTBOUND, tcp_frame(b"dial 1234"))
    lan.data(t + 20000, INBOUND, tcp_frame(b"\x01\x02\x03") + tcp_frame(b"\xf2\x01"))  # two frames, one segment
    lan.data(t + 30000, OUTBOUND, tcp_frame(b"\xf2\x01"))                              # keepalive echoed
    whole = tcp_frame(b"RING 0815 on line 2")
    lan.data(t + 40000, INBOUND, whole[:8])                                             # one frame, two segments
    lan.data(t + 50000, INBOUND, whole[8:])
    lan.close(t + 100000)

    other = TcpConnection(capture, client=("192.168.0.10", 49153), server=("192.168.0.251", 7002))
    t += 1000000
    other.open(t)
    other.data(t + 10000, INBOUND, tcp_frame(b"hello"))
    other.data(t + 20000, OUTBOUND, tcp_frame(b"\xf2\x07"))
    other.close(t + 100000)


RECORD = re.compile(r"\[(\d\d)\.(\d\d)\.(\d\d) (\d\d):(\d\d):(\d\d)\] [^\r\n]*?: ")
CHECK_FRAME = re.compile(r"CheckFrame\(0x[0-9a-f]+,0x[0-9a-f]+,(\d+)\)\r\n")
# A dump too long for its line ends with the count of the bytes it leaves out.
MORE_BYTES = re.compile(r"\.\.\. (\d+) more bytes\r\n$")


def wire_length(data, sent, next_body):
    """The length of a block the log shows only in part, as far as it is known:
    the count kavro names after a read, or the size a frame header announces."""
    match = CHECK_FRAME.match(next_body) if not sent else None
    if match:
        return int(match.group(1))
    if len(data) >= 6 and data[0] == data[1] == SYN and data[2] & 1 == 0:
        return max(len(data) + 1, 10 + (data[4] << 8 | data[5]))
    if len(data) >= 3 and data[0] == 0xC5:
        return max(len(data) + 1, 3 + (data[1] << 8 | data[2]))
    return len(data) + 1


def log_blocks(text):
    """(seconds since 1970, run number, outbound/inbound, bytes, wire length or
    None) for every dump in a trace log."""
    starts = list(RECORD.finditer(text))
    run = 0
    for n, m in enumerate(starts):
        end = starts[n + 1].start() if n + 1 < len(starts) else len(text)
        body = text[m.end():end]
        day, month, year, hour, minute, second = (int(g) for g in m.groups())
        seconds = int(time.mktime((2000 + year, month, day, hour, minute, second, 0, 0, -1)))
        if body.startswith("OpenConnection ("):
            run += 1
            continue
        title, _, rows = body.partition("\r\n")
        if title not in ("Received:", "SendConnection():"):
            continue
        more = MORE_BYTES.search(rows)
        if more:
            rows = rows[:more.start()]
        data = bytearray()
        for token in rows.replace(">>", " ").split():
            if len(token) == 2 and all(c in "0123456789ABCDEF" for c in token):
                data.append(int(token, 16))
        sent = title.startswith("Send")
        # The dump counts what it leaves out; older versions of kavro cut a
        # long dump at the line limit, and the line end with it.
        cut = not body.endswith("\n")
        if data:
            if more:
                length = len(data) + int(more.group(1))
            elif cut:
                next_body = text[end:][len(starts[n + 1].group(0)):] if n + 1 < len(starts) else ""
                length = wire_length(data, sent, next_body)
            else:
                length = None
            yield (seconds, run, OUTBOUND if sent else INBOUND, bytes(data), length)


def from_log(capture, path):
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    connections, last, order = {}, None, 0
    for seconds, run, direction, data, length in log_blocks(text):
        # The log counts whole seconds: blocks of one second keep their order.
        order = order + 1 if seconds == last else 0
        last = seconds
        at = seconds * 1000000 + order * 1000
        if run not in connections:
            connections[run] = None
            if data[0] == 0xC5:
                connections[run] = TcpConnection(capture, client=("192.168.0.10", 49152 + run % 1000))
                connections[run].open(at - 500)
        if connections[run]:
            connections[run].data(at, direction, data, length)
        else:
            capture.packet(capture.interface(LINKTYPE_USER0, "serial"), at, data, direction, length)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", default="kavro-sample.pcapng", help="the capture to write")
    parser.add_argument("--from-log", metavar="LOG", help="make the capture from this kavro trace log")
    args = parser.parse_args()
    capture = Pcapng()
    if args.from_log:
        try:
            from_log(capture, args.from_log)
        except OSError as e:
            sys.exit("make_capture: cannot read %s: %s" % (args.from_log, e.strerror))
    else:
        # A fixed time (6 March 2026, 09:05:03 UTC), so that the sample is the
        # same wherever it is made.
        sample(capture, 1772787903)
    capture.write(args.output)


if __name__ == "__main__":
    main()
