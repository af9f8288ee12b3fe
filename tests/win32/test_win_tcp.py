"""kavro.exe on a TCP link under Wine: Winsock against the Linux kavro-pbx
on a loopback socket, with the real KAVROD32.dll and kavroctl.exe."""

import json
import os
import socket
import time
import unittest

from harness_win import RECORDER_DLL, KavroExe, kavroctl, require_environment, start_tcp_pbx


def tcp_registry(port, **extra):
    values = {"Link": "TCP", "TapiSvrIpAddr": "127.0.0.1", "TapiSvrIpPort": port}
    values.update(extra)
    return values


class TcpLinkTest(unittest.TestCase):
    def setUp(self):
        require_environment(self)

    def start_pbx(self, *args, payloads=None):
        return start_tcp_pbx(self, *args, payloads=payloads)

    def wait_pbx_line(self, pbx, text, timeout=20):
        end = time.monotonic() + timeout
        seen = []
        while time.monotonic() < end:
            line = pbx.stderr.readline().decode()
            if not line:
                break
            seen.append(line.strip())
            if text in line:
                return
        raise AssertionError("kavro-pbx never said %r; it said %r" % (text, seen))

    def test_keepalive_echo_payloads_both_ways_and_the_server_closing(self):
        pbx, port = self.start_pbx("--keepalive-ms", "300", "--pattern", "2", "--interval", "100")
        k = KavroExe(self, registry=tcp_registry(port, Keepalive=1))
        k.wait_window()
        listener = k.listen(4)
        records = [json.loads(listener.stdout.readline()) for _ in range(3)]
        self.assertEqual(records[0], {"kind": "event", "code": 1, "name": "link established"})
        self.assertEqual([(r["address"], r["hex"]) for r in records[1:]], [(0x20, "01020304"), (0x20, "02030405")])

        sent = kavroctl("send", "--address", "0x21", "de ad be ef")
        self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertEqual(pbx.stdout.readline().decode().strip(), "payload addr=0x20 len=4 DE AD BE EF")
        # The keepalive comes back as it was sent, and is not delivered.
        self.wait_pbx_line(pbx, "keepalive echoed")

        # The PBX ends the connection: the link ends and kavro.exe with it.
        pbx.terminate()
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(json.loads(listener.stdout.readline()), {"kind": "event", "code": 0, "name": "shutting down"})
        messages = k.log_messages()
        self.assertIn("Server closed connection", messages)
        self.assertIn("CTI Link Released", messages)
        self.assertNotIn("WaitForSingleObject(hCommWatchThread,3000)==WAIT_TIMEOUT!!!", messages)
        self.assertIn("Received:\r\nC5 00 02 F2 01 ", messages)
        self.assertIn("SendConnection():\r\nC5 00 04 DE AD BE EF ", messages)

    def test_largest_payloads_both_ways(self):
        # 65535 bytes: the most the 16-bit length of a frame (and a client
        # message) can carry, whole in both directions.
        expected = bytes((1 + i) % 256 for i in range(65535))
        pbx, port = self.start_pbx("--keepalive-ms", "0", payloads=[expected])
        k = KavroExe(self, registry=tcp_registry(port))
        k.wait_window()
        listener = k.listen(2)
        records = [json.loads(listener.stdout.readline()) for _ in range(2)]
        self.assertEqual(records[1]["length"], 65535)
        self.assertEqual(bytes.fromhex(records[1]["hex"]), expected)

        payload = os.path.join(k.dir, "payload.bin")
        with open(payload, "wb") as f:
            f.write(expected[::-1])
        sent = kavroctl("send", "--file", payload)
        self.assertEqual(sent.returncode, 0, sent.stderr)
        line = pbx.stdout.readline().decode().split()
        self.assertEqual(line[:3], ["payload", "addr=0x20", "len=65535"])
        self.assertEqual(bytes.fromhex("".join(line[3:])), expected[::-1])
        self.assertEqual(kavroctl("close").returncode, 0)
        self.assertEqual(k.wait_exit(), 0)

    def test_close_request_takes_the_connection_down_at_once(self):
        pbx, port = self.start_pbx("--keepalive-ms", "0")
        k = KavroExe(self, registry=tcp_registry(port))
        k.wait_window()
        listener = k.listen(2)
        self.assertEqual(json.loads(listener.stdout.readline())["code"], 1)
        self.assertEqual(kavroctl("close").returncode, 0)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(json.loads(listener.stdout.readline())["code"], 0)
        self.assertEqual(pbx.wait(timeout=10), 0)
        # The shutdown of the socket woke the receive thread, which found the
        # link released already: one release, one line.
        self.assertNotIn("WaitForSingleObject(hCommWatchThread,3000)==WAIT_TIMEOUT!!!", k.log_messages())
        self.assertEqual(k.log_messages().count("CTI Link Released"), 1)

    def test_frame_is_whole_on_the_wire_or_the_connection_ends(self):
        # The PBX takes little and stops reading until kavro.exe gives a
        # payload up, then reads again.
        server = socket.socket()
        self.addCleanup(server.close)
        server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        server.settimeout(30)
        k = KavroExe(self, registry=tcp_registry(server.getsockname()[1], Keepalive=0), library=RECORDER_DLL)
        conn, _ = server.accept()
        self.addCleanup(conn.close)
        k.wait_window()
        payload = bytes(range(256)) * 255 + bytes(range(255))
        path = os.path.join(k.dir, "payload.bin")
        with open(path, "wb") as f:
            f.write(payload)
        accepted = 0
        for _ in range(400):
            if kavroctl("send", "--file", path, timeout=30).returncode != 0:
                break
            accepted += 1
        else:
            self.fail("kavro.exe never gave up a payload the peer did not take")
        conn.settimeout(2)
        data, closed = bytearray(), False
        while True:
            try:
                chunk = conn.recv(1 << 20)
            except socket.timeout:
                break
            except ConnectionResetError:
                closed = True
                break
            if not chunk:
                closed = True
                break
            data += chunk
        frames = []
        while len(data) >= 3 and len(data) >= 3 + ((data[1] << 8) | data[2]):
            self.assertEqual(data[0], 0xC5, "frame without the tag: framing out of step")
            n = (data[1] << 8) | data[2]
            frames.append(bytes(data[3:3 + n]))
            del data[:3 + n]
        # Every payload kavro.exe took went out whole, in order.
        self.assertEqual((len(frames), frames == [payload] * accepted), (accepted, True))
        if closed:
            # The given-up frame was cut part-way: the connection ended right
            # behind its head, and the link as a lost connection.
            self.assertTrue(data and bytes([0xC5, 0xFF, 0xFF]).startswith(bytes(data[:3])), bytes(data[:8]))
            self.assertEqual(k.wait_exit(), 0)
            self.assertEqual(k.records(), ["event 1", "event 18", "event 0"])
            self.assertIn("SendSocketFrame failed !", k.log_messages())
        else:
            # Nothing of it went out: the link goes on.
            self.assertEqual(bytes(data), b"")
            self.assertIsNone(k.proc.poll())
            self.assertEqual(kavroctl("close").returncode, 0)
            self.assertEqual(k.wait_exit(), 0)

    def test_refused_connect_ends_the_start(self):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        k = KavroExe(self, registry=tcp_registry(port))
        self.assertEqual(k.wait_exit(), 0)
        messages = k.log_messages()
        self.assertIn("connect() failed: 10061", messages)
        self.assertIn("OpenConnection LAN/USB failed !", messages)

    def test_close_request_during_the_connect(self):
        # A listener whose accept queue is full leaves further connects
        # pending, as a PBX that does not answer would.
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(0)
        self.addCleanup(server.close)
        filler = socket.socket()
        filler.connect(server.getsockname())
        self.addCleanup(filler.close)

        k = KavroExe(self, registry=tcp_registry(server.getsockname()[1]))
        # Logged inside the window's creation, so the window exists.
        k.wait_log("OpenConnection (")
        closed = kavroctl("close")
        self.assertEqual(closed.returncode, 0, closed.stderr)
        self.assertEqual(k.wait_exit(), 0)
        messages = k.log_messages()
        self.assertIn("connect() failed: 10004", messages)
        self.assertIn("KavroWnd: OpenConnection failed", messages)


if __name__ == "__main__":
    unittest.main()
