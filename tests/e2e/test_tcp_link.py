"""The real kavro on a TCP link against a scripted PBX server on loopback."""

import re
import select
import signal
import socket
import threading
import time
import unittest

from harness import KAVRO, RECORDER, Kavro, require_binaries

TAG = 0xC5


def tcp_frame(payload):
    return bytes([TAG, len(payload) >> 8, len(payload) & 0xFF]) + payload


class TcpPeer:
    """The PBX's server: listens on a loopback port kavro connects to."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.conn = None
        self.buf = bytearray()

    def close(self):
        for s in (self.conn, self.listener):
            if s:
                s.close()

    def accept(self, timeout=5.0):
        self.listener.settimeout(timeout)
        self.conn, _ = self.listener.accept()
        # Small writes go out as they are written, so that the pieces a test
        # writes reach kavro as separate reads where the timing allows.
        self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def write(self, data):
        self.conn.sendall(data)

    def pump(self, timeout):
        r, _, _ = select.select([self.conn], [], [], timeout)
        if not r:
            return False
        data = self.conn.recv(1 << 20)
        if not data:
            raise EOFError
        self.buf += data
        return True

    def next_frame(self, timeout=5.0):
        """The payload of the next whole frame kavro sends."""
        end = time.monotonic() + timeout
        while len(self.buf) < 3 or len(self.buf) < 3 + ((self.buf[1] << 8) | self.buf[2]):
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no whole frame from kavro; have %r" % bytes(self.buf[:32]))
            self.pump(left)
        if self.buf[0] != TAG:
            raise AssertionError("frame from kavro without the tag: %r" % bytes(self.buf[:32]))
        n = (self.buf[1] << 8) | self.buf[2]
        payload = bytes(self.buf[3:3 + n])
        del self.buf[:3 + n]
        return payload

    def quiet(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.pump(max(0.0, end - time.monotonic()))
        return not self.buf

    def wait_closed(self, timeout=5.0):
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("kavro kept the connection open")
            try:
                self.pump(left)
            except (EOFError, ConnectionResetError):
                return


class TcpLinkTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, RECORDER)
        self.peer = TcpPeer()
        self.addCleanup(self.peer.close)

    def start(self, keepalive=3, port=None, env=None):
        values = {
            "Link": "TCP",
            "TapiSvrIpAddr": "127.0.0.1",
            "TapiSvrIpPort": "dword:%08x" % (port or self.peer.port),
            "Keepalive": "dword:%08x" % keepalive,
        }
        return Kavro(self, registry_values=values, extra_env=env)

    def connected(self, **kw):
        k = self.start(**kw)
        self.peer.accept()
        k.wait_record("event 1")
        return k

    def payload_records(self, k):
        return [r for r in k.records() if r.startswith("payload")]

    def wait_payloads(self, k, expected, timeout=5.0):
        end = time.monotonic() + timeout
        while len(self.payload_records(k)) < len(expected) and time.monotonic() < end:
            time.sleep(0.01)
        self.assertEqual(self.payload_records(k), expected)

    def test_connect_establishes_the_link_at_once(self):
        k = self.connected()
        self.assertEqual(k.records(), ["event 1"])
        # No handshake, no keepalive of its own: kavro waits for the PBX.
        self.assertTrue(self.peer.quiet(0.3))

    def test_frames_are_delivered_whole_however_the_stream_is_cut(self):
        k = self.connected(keepalive=0)
        stream = (tcp_frame(b"ABC") + tcp_frame(b"") + tcp_frame(bytes(range(1, 6))) +
                  tcp_frame(b"\x10" * 300) + tcp_frame(b"Z"))
        expected = ["payload 20 414243", "payload 20 0102030405", "payload 20 " + "10" * 300,
                    "payload 20 5A"]
        # A header alone, a cut inside a payload, a cut inside a header, and
        # the empty frame sent together with the one behind it.
        delivered = []
        for cut in (3, 5, 8, 9, 16, 200):
            self.peer.write(stream[:cut])
            time.sleep(0.02)
            self.peer.write(stream[cut:])
            delivered += expected
            self.wait_payloads(k, delivered)
        # Everything in one write.
        self.peer.write(stream * 3)
        delivered += expected * 3
        self.wait_payloads(k, delivered)
        self.assertFalse(any("failed" in m for m in k.log_messages()), k.log())

    def test_largest_payload_is_delivered_whole(self):
        k = self.connected(keepalive=0)
        big = bytes((i * 7) & 0xFF for i in range(65535))
        self.peer.write(tcp_frame(big) + tcp_frame(b"\x01"))
        self.wait_payloads(k, ["payload 20 " + big.hex().upper(), "payload 20 01"], timeout=10.0)

    def test_refused_payload_is_logged_and_the_link_goes_on(self):
        k = self.start(keepalive=0, env={"KAVRO_RECORD_REFUSE": "1"})
        self.peer.accept()
        k.wait_record("event 1")
        self.peer.write(tcp_frame(b"\x01\x02") + tcp_frame(b"\x03"))
        k.wait_record("refused 20 03")
        self.assertEqual([r for r in k.records() if r.startswith("refused")], ["refused 20 0102", "refused 20 03"])
        self.assertEqual(k.log_messages().count("ProcessSocketFrame failed: KAVRO_QUEUE_ERROR !"), 2)
        self.assertIsNone(k.proc.poll())

    def test_client_payloads_are_framed(self):
        k = self.connected(keepalive=0)
        c = k.control()
        self.addCleanup(c.close)
        # The address byte is not sent over TCP.
        self.assertEqual(c.send_payload(b"\x7e", address=0x55), 1)
        self.assertEqual(self.peer.next_frame(), b"\x7e")
        block = bytes(range(256)) * 8
        self.assertEqual(c.send_payload(block), 1)
        self.assertEqual(self.peer.next_frame(), block)
        # The largest payload makes a frame longer than 16 bits can count: it
        # still goes out whole.
        big = bytes((i * 13) & 0xFF for i in range(65535))
        self.assertEqual(c.send_payload(big), 1)
        self.assertEqual(self.peer.next_frame(), big)
        # An empty payload cannot be framed: refused, and nothing goes out.
        self.assertEqual(c.send_payload(b""), 0)
        self.assertIn("kavro: SendSocketFrame failed - pData or nDatalen 0 !\r\n", k.log())
        self.assertTrue(self.peer.quiet(0.2))
        self.assertEqual(self.peer.buf, bytearray())

    def test_keepalive_is_echoed_and_not_delivered_when_on(self):
        k = self.connected(keepalive=3)
        self.peer.write(tcp_frame(b"\xf2\x01"))
        self.assertEqual(self.peer.next_frame(), b"\xf2\x01")
        self.peer.write(tcp_frame(b"\xaa"))
        self.wait_payloads(k, ["payload 20 AA"])

    def test_keepalive_mark_is_an_ordinary_payload_when_off(self):
        k = self.connected(keepalive=2)
        self.peer.write(tcp_frame(b"\xf2\x01"))
        self.wait_payloads(k, ["payload 20 F201"])
        self.assertTrue(self.peer.quiet(0.3))

    def test_keepalive_running_out_ends_the_link(self):
        # Test-only shortening of the 61-second timer.
        k = self.connected(keepalive=3, env={"KAVRO_TEST_KEEPALIVE_MS": "400"})
        self.peer.write(tcp_frame(b"\xf2\x00"))
        self.assertEqual(self.peer.next_frame(), b"\xf2\x00")
        self.peer.wait_closed()
        self.assertEqual(k.wait_exit(), 0)
        self.assertIn("Keepalive Timed out!", k.log_messages())
        self.assertEqual(k.records(), ["event 1", "event 0"])
        # With no keepalive from the peer, a client payload starts the timer,
        # with the same time.
        self.peer.conn.close()
        self.peer.buf.clear()
        k = self.connected(keepalive=3, env={"KAVRO_TEST_KEEPALIVE_MS": "400"})
        c = k.control()
        self.addCleanup(c.close)
        self.assertEqual(c.send_payload(b"\x01"), 1)
        self.assertEqual(self.peer.next_frame(), b"\x01")
        self.peer.wait_closed()
        self.assertEqual(k.wait_exit(), 0)

    def test_peer_close_ends_the_link(self):
        k = self.connected()
        self.peer.conn.close()
        self.peer.conn = None
        self.assertEqual(k.wait_exit(), 0)
        self.assertTrue(any("Server closed connection" in m for m in k.log_messages()), k.log())
        self.assertEqual(k.records(), ["event 1", "event 0"])

    def test_close_request_closes_the_connection(self):
        k = self.connected()
        c = k.control()
        self.addCleanup(c.close)
        c.request(0x10)
        self.peer.wait_closed()
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records(), ["event 1", "event 0"])
        # The receive thread, woken by the close, finds the link released
        # already: one release, one line.
        self.assertEqual(k.log_messages().count("CTI Link Released"), 1, k.log())

    def read_rest(self, quiet=1.0):
        """Everything kavro sent, read until it closes the connection (True)
        or sends nothing for `quiet` seconds (False)."""
        self.peer.conn.setblocking(True)
        while True:
            try:
                if not self.peer.pump(quiet):
                    return False
            except (EOFError, ConnectionResetError):
                return True

    def split_frames(self):
        """The whole frames in what the peer read, and the bytes behind them."""
        frames, buf = [], bytes(self.peer.buf)
        while len(buf) >= 3 and len(buf) >= 3 + ((buf[1] << 8) | buf[2]):
            self.assertEqual(buf[0], TAG, "frame without the tag: framing out of step")
            n = (buf[1] << 8) | buf[2]
            frames.append(buf[3:3 + n])
            buf = buf[3 + n:]
        return frames, buf

    def test_frame_is_whole_on_the_wire_or_the_connection_ends(self):
        # The peer takes little and stops reading until kavro gives up a
        # payload (instead of holding its main loop), then reads again.
        self.peer.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        k = self.connected(keepalive=0)
        c = k.control()
        c.sock.settimeout(30)
        accepted = []
        for i in range(1000):
            payload = bytes([i & 0xFF]) * 65535
            if c.send_payload(payload) == 0:
                break
            accepted.append(payload)
        else:
            self.fail("kavro never gave up a payload the peer did not take")
        self.assertIn("kavro: SendSocketFrame failed !\r\n", k.log())
        try:
            after = c.send_payload(b"\x7e")
        except OSError:
            after = None
        closed = self.read_rest()
        frames, rest = self.split_frames()
        # Every payload kavro took went out whole, in order.
        self.assertEqual(frames[:len(accepted)], accepted)
        if closed:
            # The given-up frame was cut part-way: the connection ended right
            # behind its head, and with it the link, as a lost connection.
            self.assertEqual(frames[len(accepted):], [])
            self.assertTrue(rest and bytes([TAG, 0xFF, 0xFF]).startswith(rest[:3]), rest[:8])
            self.assertNotEqual(after, 1)
            self.assertEqual(k.wait_exit(), 0)
            self.assertEqual(k.records(), ["event 1", "event 18", "event 0"])
            lines = [l for l in k.proc.stderr.read().decode().splitlines() if l.startswith("<4>")]
            self.assertTrue(any(re.match(r"<4>kavro: TCP link to 127\.0\.0\.1:\d+: the PBX took \d+ of the 65538 "
                                         r"bytes of a frame \(Connection timed out\)", l) for l in lines), lines)
            self.assertIn("<4>kavro: link LAN/USB ended: connection lost", lines)
        else:
            # Nothing of it went out: the link goes on, and the next payload
            # is a frame of its own.
            self.assertEqual((after, frames[len(accepted):], rest), (1, [b"\x7e"], b""))
            self.assertIsNone(k.proc.poll())

        # A close signal while a payload waits for room is still served, and
        # a frame it cuts ends the connection too: a close, not a failure.
        self.peer.close()
        self.peer = TcpPeer()
        self.addCleanup(self.peer.close)
        self.peer.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        k = self.connected(keepalive=0)
        c = k.control()
        c.sock.settimeout(30)
        pending = {}

        def sender():
            for i in range(1000):
                pending["since"] = time.monotonic()
                try:
                    if c.send_payload(bytes([i & 0xFF]) * 65535) == 0:
                        break
                except OSError:
                    break
            pending["since"] = None

        thread = threading.Thread(target=sender)
        thread.start()
        while pending.get("since") is None or time.monotonic() - pending["since"] < 1.0:
            self.assertTrue(thread.is_alive(), "no payload ever waited for room")
            time.sleep(0.05)
        k.proc.send_signal(signal.SIGTERM)
        self.assertEqual(k.wait_exit(), 0)
        thread.join()
        self.assertEqual(k.records(), ["event 1", "event 0"])
        self.assertTrue(self.read_rest())
        frames, rest = self.split_frames()
        self.assertTrue(all(len(f) == 65535 for f in frames))
        self.assertTrue(bytes([TAG, 0xFF, 0xFF]).startswith(rest[:3]), rest[:8])

    def test_close_signal_ends_a_connect_that_does_not_complete(self):
        # A server whose accept queue is full never answers the SYN: the
        # connect stays pending, as it does for a PBX that is overloaded.
        self.peer.close()
        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(server.close)
        server.bind(("127.0.0.1", 0))
        server.listen(0)
        for _ in range(2):
            filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.addCleanup(filler.close)
            filler.setblocking(False)
            filler.connect_ex(server.getsockname())
        k = self.start(port=server.getsockname()[1])
        k.wait_log("OpenConnection (")
        k.proc.send_signal(signal.SIGTERM)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records(), ["event 18", "event 0"])
        self.assertIn("connect() failed: 4", k.log_messages())

    def test_refused_connect_fails_the_link(self):
        port = self.peer.port
        self.peer.close()
        self.peer = TcpPeer()
        self.addCleanup(self.peer.close)
        k = self.start(port=port)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records(), ["event 18", "event 0"])
        self.assertIn("connect() failed: 111", k.log_messages())

    def test_garbage_is_dropped_and_the_link_goes_on(self):
        k = self.connected(keepalive=0)
        # Layer-2 framing sent to a TCP link.
        self.peer.write(bytes([0x16, 0x16, 0x73, 0x01, 0x20, 0x33]))
        k.wait_log("CheckSocketFrame failed: Unknown Data Tag 0x16, Size 5747!")
        self.peer.write(tcp_frame(b"ok"))
        self.wait_payloads(k, ["payload 20 6F6B"])
        self.assertIsNone(k.proc.poll())


if __name__ == "__main__":
    unittest.main()
