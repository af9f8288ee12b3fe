"""The default companion library under load and at its limits: the real kavro
on a TCP link to kavro-pbx, real clients on RUN_DIR/kavrod, kavroctl."""

import json
import os
import resource
import signal
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from harness import BUILD, KAVRO, KAVRO_PBX, KAVROCTL, REGISTRY_KEY, Kavro, require_binaries

KAVROD = os.path.join(BUILD, "libkavrod.so.1")
RECORD_MAX = 8 + 65535
PAYLOAD, EVENT, STATE = 1, 2, 3
CLIENTS_MAX = 64
BACKLOG_MAX = 1024


def numbered(i, size=16):
    return struct.pack("<I", i) + bytes([i & 0xFF]) * (size - 4)


class StderrLines:
    """Collects kavro's standard error as it comes, so that a test can wait
    for a line (and the pipe never fills)."""

    def __init__(self, proc):
        self.lines, self.cond = [], threading.Condition()
        self.thread = threading.Thread(target=self.run, args=(proc.stderr,), daemon=True)
        self.thread.start()

    def run(self, stream):
        for raw in iter(stream.readline, b""):
            with self.cond:
                self.lines.append(raw.decode("latin-1").rstrip("\n"))
                self.cond.notify_all()

    def wait(self, text, timeout=20.0, then=""):
        """Waits for a line with `text` and, after it, `then`."""
        def said():
            return any(text in l and then in l[l.index(text) + len(text):] for l in self.lines)

        with self.cond:
            if not self.cond.wait_for(said, timeout):
                raise AssertionError("kavro never said %r ... %r; it said %r" % (text, then, self.lines))

    def count(self, text):
        with self.cond:
            return sum(text in l for l in self.lines)


class QuietKavro:
    """The real kavro on a TCP link with the default library and the trace
    log off: the log would copy every payload to standard error, where the
    library's own lines must be seen as they come."""

    def __init__(self, test, port):
        self.dir = tempfile.mkdtemp(prefix="kavro-e2e-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.run_dir = os.path.join(self.dir, "run")
        self.log_dir = os.path.join(self.dir, "log")
        os.makedirs(self.log_dir)
        self.registry = os.path.join(self.dir, "kavro.reg")
        with open(self.registry, "w") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n" % REGISTRY_KEY +
                    '"Link"="TCP"\r\n"TapiSvrIpAddr"="127.0.0.1"\r\n'
                    '"TapiSvrIpPort"=dword:%08x\r\n"Keepalive"=dword:00000000\r\n' % port)
        self.proc = subprocess.Popen([KAVRO, "--registry", self.registry, "--run-dir", self.run_dir,
                                      "--log-dir", self.log_dir, "--delivery-library", KAVROD],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        test.addCleanup(self.kill)
        self.err = StderrLines(self.proc)
        # The library's socket comes before the control socket.
        control = os.path.join(self.run_dir, "KavroControlProg")
        end = time.monotonic() + 10
        while not os.path.exists(control):
            if time.monotonic() > end or self.proc.poll() is not None:
                raise AssertionError("kavro never came up: %r" % self.err.lines)
            time.sleep(0.02)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Client:
    """A program reading RUN_DIR/kavrod: a credit first if it counts records,
    then its first record, the link state."""

    def __init__(self, test, run_dir, credit=None, read_state=True):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        test.addCleanup(self.sock.close)
        self.sock.settimeout(20)
        self.sock.connect(os.path.join(run_dir, "kavrod"))
        if credit is not None:
            self.sock.send(struct.pack("<II", 1, credit))
        if read_state:
            kind, _, _ = self.read()
            test.assertEqual(kind, STATE)

    def read(self):
        data = self.sock.recv(RECORD_MAX + 1)
        if not data:
            return None
        kind, value = struct.unpack("<II", data[:8])
        return kind, value, data[8:]

    def payloads(self, n):
        got = []
        while len(got) < n:
            r = self.read()
            if r is None:
                break
            if r[0] == PAYLOAD:
                got.append(r[2])
        return got


class DeliveryTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, KAVRO_PBX, KAVROCTL, KAVROD)

    def start(self):
        """kavro-pbx serving TCP, fed payloads on its standard input, and a
        kavro with the default library connected to it."""
        pbx = subprocess.Popen([KAVRO_PBX, "--tcp", "0", "--print-path-only", "-q", "--keepalive-ms", "0"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (pbx.kill(), pbx.wait(), pbx.stdin.close(), pbx.stdout.close()))
        k = QuietKavro(self, int(pbx.stdout.readline()))
        return pbx, k, k.err

    def feed(self, pbx, payloads):
        """Has the PBX send `payloads`, from a thread: the pipe to it fills
        while kavro holds the link back."""
        text = "".join(p.hex() + "\n" for p in payloads).encode()

        def write():
            pbx.stdin.write(text)
            pbx.stdin.flush()

        t = threading.Thread(target=write, daemon=True)
        t.start()
        self.addCleanup(t.join, 30)

    def listen(self, k, *args):
        return subprocess.run([KAVROCTL, "--run-dir", k.run_dir, "listen"] + list(args),
                              capture_output=True, text=True, timeout=60)

    def test_burst_reaches_a_client_that_pauses_and_one_that_reads_whole_and_in_order(self):
        pbx, k, err = self.start()
        reader = subprocess.Popen([KAVROCTL, "--run-dir", k.run_dir, "listen"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (reader.kill(), reader.wait(), reader.stdout.close()))
        # Event 1 waited for the first client: the reader, client 1.
        self.assertEqual(reader.stdout.readline().strip(), "event 1 (link established)")
        paused = Client(self, k.run_dir)
        n = 20000
        lines = []
        collect = threading.Thread(target=lambda: lines.extend(reader.stdout.readline() for _ in range(n)))
        collect.start()

        self.feed(pbx, [numbered(i) for i in range(n)])
        # The paused client, client 2, goes on only once the reading of the
        # socket waits for it.
        err.wait("client 2 is ", then="records behind; holding the link back")
        self.assertEqual(paused.payloads(n), [numbered(i) for i in range(n)])
        collect.join(60)
        self.assertEqual([l.strip() for l in lines],
                         ["payload addr=0x20 len=16 " + numbered(i).hex(" ").upper() for i in range(n)])
        self.assertEqual(err.count("dropped"), 0, err.lines)

    def test_listen_with_a_count_leaves_the_rest_for_the_next_client(self):
        pbx, k, err = self.start()
        self.feed(pbx, [numbered(i) for i in range(5)])
        first = self.listen(k, "--count", "3", "--timeout", "20")
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertEqual(first.stdout.splitlines(),
                         ["event 1 (link established)"] +
                         ["payload addr=0x20 len=16 " + numbered(i).hex(" ").upper() for i in range(2)])
        rest = Client(self, k.run_dir)
        self.assertEqual(rest.payloads(3), [numbered(i) for i in range(2, 5)])

    def test_refused_second_kavro_takes_nothing(self):
        pbx, k, err = self.start()
        self.feed(pbx, [numbered(i) for i in range(3)])
        second = subprocess.run([KAVRO, "--registry", k.registry, "--run-dir", k.run_dir, "--log-dir", k.log_dir],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(second.returncode, 1, second.stderr)
        self.assertIn("kavrod.lock is locked", second.stderr)
        client = Client(self, k.run_dir)
        self.assertEqual(client.read()[:2], (EVENT, 1))
        self.assertEqual(client.payloads(3), [numbered(i) for i in range(3)])

    def test_clients_over_the_cap_and_out_of_descriptors_leave_the_others_served(self):
        pbx, k, err = self.start()
        served = Client(self, k.run_dir)
        self.assertEqual(served.read()[:2], (EVENT, 1))
        # A payload before descriptors run out: a sanitizer build checks each
        # dynamic type once, with a pipe, and would fail for want of one.
        self.feed(pbx, [numbered(0)])
        self.assertEqual(served.payloads(1), [numbered(0)])

        # Out of descriptors: the library stops taking connections for a
        # while instead of spinning on them, and serves the client it has.
        pid = k.proc.pid
        fds = {int(f) for f in os.listdir("/proc/%d/fd" % pid)}
        first_free = min(i for i in range(len(fds) + 1) if i not in fds)
        limit = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (first_free, limit[1]))
        waiting = [Client(self, k.run_dir, read_state=False) for _ in range(2)]
        err.wait("cannot accept clients: Too many open files")
        self.feed(pbx, [numbered(1)])
        self.assertEqual(served.payloads(1), [numbered(1)], err.lines)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, limit)
        err.wait("accepting clients again")
        self.assertEqual(err.count("cannot accept clients"), 1, err.lines)
        for c in waiting:
            self.assertEqual(c.read()[0], STATE)

        # Over the cap: closed before the link-state record.
        more = [Client(self, k.run_dir) for _ in range(CLIENTS_MAX - 3)]
        over = Client(self, k.run_dir, read_state=False)
        self.assertIsNone(over.read())
        err.wait("clients are connected already")
        self.feed(pbx, [numbered(2)])
        for c in [served] + more:
            self.assertEqual(c.payloads(1), [numbered(2)])

    def status(self, k):
        r = subprocess.run([KAVROCTL, "--run-dir", k.run_dir, "status", "--json"], capture_output=True, text=True,
                           timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        return json.loads(r.stdout)

    def test_payloads_no_one_can_take_are_counted_said_once_and_seen_as_a_gap(self):
        pbx, k, err = self.start()
        # No client: the backlog takes what it holds (the link's event
        # included), the rest is refused.
        total = BACKLOG_MAX + 76
        self.feed(pbx, [numbered(i) for i in range(total)])
        err.wait("a record no one could take")
        end = time.monotonic() + 30
        while self.status(k)["payloads_received"] < total:
            self.assertLess(time.monotonic(), end, "kavro never received every payload")
            time.sleep(0.05)
        refused = self.status(k)["records_not_taken"]
        self.assertEqual(err.count("no one could take"), 1)

        # An acknowledged client sees the refused ones as a gap in the
        # sequence, right where they came.
        bridge = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.addCleanup(bridge.close)
        bridge.settimeout(20)
        bridge.connect(os.path.join(k.run_dir, "kavrod"))
        bridge.send(struct.pack("<II", 2, 0))
        records = []
        while len(records) < BACKLOG_MAX + 1:
            data = bridge.recv(RECORD_MAX + 17)
            kind, _ = struct.unpack("<II", data[:8])
            if kind == STATE:
                continue
            self.assertIn(kind, (4, 5))
            _, sequence = struct.unpack("<QQ", data[8:24])
            records.append((sequence, data[24:] if kind == 4 else None))
            if len(records) == BACKLOG_MAX:
                self.feed(pbx, [numbered(total)])
        kept = [p for _, p in records[:BACKLOG_MAX] if p is not None]
        self.assertEqual(kept, [numbered(i) for i in range(len(kept))])
        self.assertEqual(refused, total - len(kept))
        self.assertEqual([s for s, _ in records], list(range(1, BACKLOG_MAX + 1)) + [BACKLOG_MAX + refused + 1])
        self.assertEqual(records[-1][1], numbered(total))
        # Taken again: the episode ends, with its count.
        err.wait("%d more records no one could take (%d since the start)" % (refused - 1, refused))
        self.assertEqual(err.count("no one could take"), 2)


class SerialFlowTest(unittest.TestCase):
    """The link never waits on a client: the real kavro on a pseudo-terminal
    to kavro-pbx, the default library, a client that reads everything, one
    that takes a record every few seconds, and status requests meanwhile."""

    # The serial read waits for the gap after each frame, so a payload takes
    # some 35 ms: a thousand keep the test short. More show more.
    N = int(os.environ.get("KAVRO_FLOW_PAYLOADS", "1000"))
    TRICKLE_S = 3.0

    def setUp(self):
        require_binaries(KAVRO, KAVRO_PBX, KAVROD)

    def test_every_frame_is_acknowledged_in_time_while_a_client_trickles(self):
        pbx = subprocess.Popen([KAVRO_PBX, "--print-path-only", "-v", "--pattern", str(self.N), "--interval", "1"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: (pbx.kill(), pbx.wait(), pbx.stdout.close(), pbx.stderr.close()))
        path = pbx.stdout.readline().decode().strip()
        # Each line of the PBX's with the time it came.
        pbx_lines = []

        def watch_pbx():
            for raw in iter(pbx.stderr.readline, b""):
                pbx_lines.append((time.monotonic(), raw.decode("latin-1").strip()))

        threading.Thread(target=watch_pbx, daemon=True).start()
        k = Kavro(self, registry_values={"Link": "COM1"}, ports={"COM1": path}, library=KAVROD)
        err = StderrLines(k.proc)
        control = k.control()
        reader = Client(self, k.run_dir)
        trickle = Client(self, k.run_dir, credit=1)
        done = threading.Event()
        answer_times = []

        def ask_status():
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            sock.connect(os.path.join(k.run_dir, "KavroControlProg"))
            sock.settimeout(10)
            while not done.is_set():
                start = time.monotonic()
                sock.send(struct.pack("<II", 0x804B, 0))
                answer = sock.recv(4096)
                answer_times.append(time.monotonic() - start)
                self.assertEqual(struct.unpack("<i", answer[:4])[0], 1)
                time.sleep(0.2)
            sock.close()

        def take_slowly():
            while not done.wait(self.TRICKLE_S):
                trickle.read()
                trickle.sock.send(struct.pack("<II", 1, 1))

        threads = [threading.Thread(target=f, daemon=True) for f in (ask_status, take_slowly)]
        for t in threads:
            t.start()
        self.addCleanup(done.set)

        got = reader.payloads(self.N)
        done.set()
        for t in threads:
            t.join(15)
        # The PBX's payload k is the bytes k, k+1, ...: each once, in order.
        self.assertEqual(len(got), self.N)
        self.assertEqual([p[0] for p in got], [k & 0xFF for k in range(1, self.N + 1)])
        self.assertTrue(all(len(p) == 4 and p[1] == (p[0] + 1) & 0xFF for p in got))

        # Every I-frame acknowledged at the first attempt, before T200.
        ack_times, sent_at = [], None
        for at, line in pbx_lines:
            if " sent, " in line:
                sent_at = at
            elif "acknowledged up to" in line and sent_at is not None:
                ack_times.append(at - sent_at)
                sent_at = None
        texts = [line for _, line in pbx_lines]
        self.assertEqual([l for l in texts if "sent again" in l or "sending START" in l], [])
        self.assertEqual(len(ack_times), self.N)
        print("\nserial flow: %d payloads, max ack %.1f ms, max status answer %.1f ms over %d requests" %
              (self.N, 1000 * max(ack_times), 1000 * max(answer_times), len(answer_times)))
        self.assertLess(max(ack_times), 1.0)
        # The main loop answers at once; a second would be the old wait.
        self.assertLess(max(answer_times), 1.0)

        control.close()
        k.proc.send_signal(signal.SIGTERM)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(err.count("dropped"), 1, err.lines)


if __name__ == "__main__":
    unittest.main()
