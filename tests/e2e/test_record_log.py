"""The record log with the real kavro, the real library and kavro-pbx: what
kavro acknowledged to the PBX survives kavro's death, and what it read on
TCP survives a restart."""

import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

from harness import KAVRO, KAVRO_PBX, KAVROCTL, RECORDER, REGISTRY_KEY, require_binaries
from record_log_support import AGAIN, KAVROD, PAYLOAD_ID, REQUEST_ACKNOWLEDGED, KillLoop, wait_for


def frame(payload):
    return bytes([0xC5, len(payload) >> 8, len(payload) & 0xFF]) + payload


class RecordLogTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, KAVRO_PBX, KAVROD)
        self.dir = tempfile.mkdtemp(prefix="kavro-rlog-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_what_the_pbx_saw_acknowledged_survives_kills_of_kavro(self):
        seed = int(os.environ.get("KAVRO_KILL_SEED", time.time_ns() % 1000000))
        print("kill loop seed %d (KAVRO_KILL_SEED=%d repeats it)" % (seed, seed))
        loop = KillLoop(self.dir, seed)
        self.addCleanup(loop.close)
        expected, missing = loop.run(kills=10)
        client = loop.client
        print("seed %d: %d payloads acknowledged to the PBX, %d records taken by the client, %d starts"
              % (seed, len(expected), len(client.by_identity), loop.starts))
        self.assertGreater(len(expected), 50, "the stream hardly ran")
        self.assertEqual(loop.errors(), [])
        self.assertEqual(sorted(missing)[:10], [], "seed %d: %d acknowledged payloads never reached the client; "
                         "kavro said: %s" % (seed, len(missing), " | ".join(loop.lines()[-20:])))
        self.assertEqual(client.conflicts[:5], [], "seed %d: one identity, two payloads" % seed)
        self.assertEqual(client.not_marked[:5], [], "seed %d: old records served again without the mark" % seed)


if __name__ == "__main__":
    unittest.main()


class TcpBacklogTest(unittest.TestCase):
    """kavro restarted while the PBX's backlog is 10,000 records on TCP,
    with no acknowledged client until after the restart."""

    def setUp(self):
        require_binaries(KAVRO, KAVROCTL, KAVROD)
        self.dir = tempfile.mkdtemp(prefix="kavro-rlog-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(self.listener.close)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.registry = os.path.join(self.dir, "kavro.reg")
        with open(self.registry, "w") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n\"Link\"=\"TCP\"\r\n"
                    "\"TapiSvrIpAddr\"=\"127.0.0.1\"\r\n\"TapiSvrIpPort\"=dword:%08x\r\n"
                    "\"Keepalive\"=dword:00000000\r\n" % (REGISTRY_KEY, self.listener.getsockname()[1]))
        self.run_dir = os.path.join(self.dir, "run")

    def start(self):
        proc = subprocess.Popen([KAVRO, "--registry", self.registry, "--run-dir", self.run_dir, "--log-dir", self.dir,
                                 "--delivery-library", KAVROD, "--record-log", os.path.join(self.dir, "records"), "-q"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(proc.stderr.close)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.listener.settimeout(10)
        conn, _ = self.listener.accept()
        self.addCleanup(conn.close)
        return proc, conn

    def received(self):
        status = subprocess.run([KAVROCTL, "--run-dir", self.run_dir, "status", "--json"], capture_output=True)
        return json.loads(status.stdout)["payloads_received"] if status.returncode == 0 else -1

    def send_and_stop(self, numbers):
        proc, conn = self.start()
        conn.sendall(b"".join(frame(b"backlog %05d" % i) for i in numbers))
        wait_for(lambda: self.received() == len(numbers), 30, "kavro to read %d payloads" % len(numbers))
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(20), 0)
        conn.close()
        return proc.stderr.read().decode("latin-1")

    def test_a_restart_with_a_backlog_loses_nothing(self):
        # The first half before the restart, the second half what queued up
        # at the PBX meanwhile, handed over at once when kavro is back.
        first = self.send_and_stop(range(1, 5001))
        self.assertNotIn("refused", first)
        self.assertNotIn("<3>", first)
        proc, conn = self.start()
        conn.sendall(b"".join(frame(b"backlog %05d" % i) for i in range(5001, 10001)))
        wait_for(lambda: self.received() == 5000, 30, "kavro to read the backlog")

        client = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.addCleanup(client.close)
        client.connect(os.path.join(self.run_dir, "kavrod"))
        client.send(struct.pack("<II", REQUEST_ACKNOWLEDGED, 0))
        client.settimeout(10)
        payloads, again = [], 0
        while len(payloads) < 10000:
            packet = client.recv(70000)
            kind, _ = struct.unpack_from("<II", packet)
            if kind & 0xFF == PAYLOAD_ID:
                payloads.append(packet[24:])
                again += bool(kind & AGAIN)
        self.assertEqual(payloads, [b"backlog %05d" % i for i in range(1, 10001)])
        # What the first start took comes again, marked.
        self.assertEqual(again, 5000)


class RecordLogOptionsTest(unittest.TestCase):
    def test_settings_are_shown_with_their_source_and_a_library_without_the_log_stops_the_start(self):
        require_binaries(KAVRO, RECORDER)
        d = tempfile.mkdtemp(prefix="kavro-rlog-")
        self.addCleanup(shutil.rmtree, d, True)
        env = dict(os.environ, KAVRO_RECORD_LOG_MAX="2M")
        registry = os.path.join(d, "kavro.reg")
        with open(registry, "w") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n\"Link\"=\"TCP\"\r\n" % REGISTRY_KEY)
        check = subprocess.run([KAVRO, "--check-config", "--registry", registry,
                                "--record-log", os.path.join(d, "records"), "--record-log-sync", "always"],
                               env=env, capture_output=True, text=True)
        lines = check.stdout.splitlines()
        self.assertIn("record log      %s (command line)" % os.path.join(d, "records"), lines)
        self.assertIn("record log max  2097152 bytes (environment)", lines)
        self.assertIn("record log sync always (command line)", lines)
        start = subprocess.run([KAVRO, "--registry", registry, "--run-dir", os.path.join(d, "run"),
                                "--delivery-library", RECORDER, "--record-log", os.path.join(d, "records")],
                               capture_output=True, text=True, timeout=20)
        self.assertEqual(start.returncode, 1)
        errors = [l for l in start.stderr.splitlines() if l.startswith("<3>")]
        self.assertEqual(len(errors), 1, start.stderr)
        self.assertIn("lacks the function KavrodOpenRecordLog", errors[0])
        self.assertFalse(os.path.exists(os.path.join(d, "records")))
