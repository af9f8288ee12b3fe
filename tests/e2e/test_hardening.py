"""The real kavro under pressure: a client that pipelines thousands of
requests, a process out of descriptors, a PBX that answers DISC with a bad
N(R), SIGHUP, a tight umask."""

import json
import os
import resource
import select
import signal
import socket
import stat
import struct
import subprocess
import threading
import time
import unittest

from harness import (DISC, KAVRO, KAVRO_PBX, RECORDER, UA, ControlClient, Kavro, PtyPeer, i_frame,
                     require_binaries, u_frame, wait_for)

COPYDATA, CLOSE, UNKNOWN = 0x4A, 0x10, 0x0111
SO_SNDBUFFORCE = getattr(socket, "SO_SNDBUFFORCE", 32)


def collect_lines(test, stream):
    """Reads `stream` to its end on a thread of its own (so that a pipe of
    kavro's never fills up and stalls it); returns the list the lines go to."""
    lines = []

    def run():
        try:
            for line in stream:
                lines.append(line.decode("latin-1").rstrip("\r\n"))
        except (OSError, ValueError):
            pass

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    test.addCleanup(thread.join, 5)
    return lines


def cpu_seconds(pid):
    """User and system time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class HardeningTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, RECORDER)

    def start_pbx(self):
        """kavro-pbx on a pseudo-terminal; returns its device and the list its
        received payloads (decoded JSON) arrive in."""
        require_binaries(KAVRO_PBX)
        pbx = subprocess.Popen([KAVRO_PBX, "--print-path-only", "-q", "--json"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (pbx.kill(), pbx.wait(), pbx.stdout.close()))
        path = pbx.stdout.readline().decode().strip()
        self.assertTrue(path.startswith("/dev/"), path)
        return path, collect_lines(self, pbx.stdout)

    def kavro_on(self, device, **kw):
        k = Kavro(self, registry_values={"Link": "COM1"}, ports={"COM1": device}, **kw)
        stderr = collect_lines(self, k.proc.stderr)
        # Cleanups run last first: kavro ends before the reader is joined.
        self.addCleanup(k.kill)
        return k, stderr

    def established_on_peer(self, **kw):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        k, _ = self.kavro_on(peer.path, **kw)
        peer.handshake()
        k.wait_record("event 1")
        return k, peer

    def test_pipelined_requests_are_all_answered_in_order(self):
        device, received = self.start_pbx()
        k, _ = self.kavro_on(device)
        k.wait_record("event 1", timeout=10)
        k.control().close()

        # Per three requests: a payload (1 sent or queued, 0 when the queue is
        # full), an empty payload (always 1) and an unknown message (always 0),
        # so that a lost, doubled or swapped answer shows.
        requests = []
        for i in range(3000):
            if i % 3 == 0:
                requests.append((struct.pack("<II", COPYDATA, 0x00010000 | (i & 0xFF)) + b"pipelined %04d" % i, None))
            elif i % 3 == 1:
                requests.append((struct.pack("<II", COPYDATA, 0x00010000), 1))
            else:
                requests.append((struct.pack("<II", UNKNOWN, 0x00010000) + b"x", 0))

        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.addCleanup(sock.close)
        try:
            # Room for every request at once, so that all are written before
            # the first answer is read (needs CAP_NET_ADMIN; without it the
            # client reads whenever its socket is full).
            sock.setsockopt(socket.SOL_SOCKET, SO_SNDBUFFORCE, 16 << 20)
        except OSError:
            pass
        sock.connect(os.path.join(k.run_dir, "KavroControlProg"))
        sock.setblocking(False)
        answers = []

        def take_answers():
            while True:
                try:
                    data = sock.recv(16)
                except BlockingIOError:
                    return
                self.assertEqual(len(data), 4, "connection ended after %d answers" % len(answers))
                answers.append(struct.unpack("<i", data)[0])

        for packet, _ in requests:
            while True:
                try:
                    sock.send(packet)
                    break
                except BlockingIOError:
                    readable, writable, _ = select.select([sock], [sock], [], 10)
                    self.assertTrue(readable or writable, "kavro neither reads nor answers")
                    take_answers()
        while len(answers) < len(requests):
            readable, _, _ = select.select([sock], [], [], 10)
            self.assertTrue(readable, "%d of %d answers" % (len(answers), len(requests)))
            take_answers()

        self.assertEqual(len(answers), len(requests))
        accepted = []
        for i, ((packet, expected), answer) in enumerate(zip(requests, answers)):
            if expected is None:
                self.assertIn(answer, (0, 1), i)
                if answer == 1:
                    accepted.append({"address": i & 0xFF, "hex": packet[8:].hex().upper()})
            else:
                self.assertEqual(answer, expected, "answer %d" % i)
        self.assertTrue(accepted)

        # The PBX gets exactly the payloads answered 1, in order: nothing
        # refused slips through, nothing taken is lost.
        wait_for(lambda: len(received) >= len(accepted), "the accepted payloads at the PBX", timeout=60)
        ctl = k.control()
        self.assertEqual(ctl.send_payload(b"end", address=0x7E), 1)
        wait_for(lambda: len(received) > len(accepted), "the last payload at the PBX")
        got = [json.loads(line) for line in received]
        self.assertEqual([{"address": p["address"], "hex": p["hex"].upper()} for p in got],
                         accepted + [{"address": 0x7E, "hex": "656E64"}])

    def test_descriptor_exhaustion_neither_spins_nor_shuts_clients_out(self):
        device, received = self.start_pbx()
        k, stderr = self.kavro_on(device)
        k.wait_record("event 1", timeout=10)
        early = k.control()
        pid = k.proc.pid
        # From here kavro has no descriptor to spare for a new client.
        highest = max(int(fd) for fd in os.listdir("/proc/%d/fd" % pid))
        original = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (highest + 3, original[1]))

        held = []
        for _ in range(200):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            s.setblocking(False)
            try:
                s.connect(os.path.join(k.run_dir, "KavroControlProg"))
                held.append(s)
            except BlockingIOError:  # the listen queue is full
                s.close()
        self.addCleanup(lambda: [s.close() for s in held])
        wait_for(lambda: any("ControlSocket: accept failed (Too many open files), new clients wait" in line
                             for line in stderr), "the trace line of the exhausted accept")

        # The loop rests instead of spinning on the pending connections, and
        # the client it already has is served meanwhile.
        wall, cpu = time.monotonic(), cpu_seconds(pid)
        self.assertEqual(early.send_payload(b"meanwhile"), 1)
        time.sleep(max(0.0, 1.0 - (time.monotonic() - wall)))
        used = cpu_seconds(pid) - cpu
        # A spinning loop takes a whole core; on a busy machine still a third.
        self.assertLess(used, 0.1 * (time.monotonic() - wall), "kavro burns its CPU while out of descriptors")

        # Once the held connections go, a new client is served, limit
        # unchanged. Until kavro has taken the closed ones off its listen
        # queue, a connect finds the queue full.
        for s in held:
            s.close()
        held.clear()
        late = []

        def connected():
            try:
                late.append(ControlClient(k.run_dir))
                return True
            except BlockingIOError:
                return False

        wait_for(connected, "room in the listen queue")
        late = late[0]
        self.addCleanup(late.close)
        self.assertEqual(late.send_payload(b"after"), 1)
        # The shutdown runs with room again: under the sanitizers, the checks
        # of the receive thread's last calls need a descriptor of their own.
        resource.prlimit(pid, resource.RLIMIT_NOFILE, original)
        self.assertEqual(late.request(CLOSE), 0)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual([json.loads(line)["hex"].upper() for line in received],
                         [b"meanwhile".hex().upper(), b"after".hex().upper()])

    def test_disc_answered_with_a_bad_nr_still_ends_the_link(self):
        k, peer = self.established_on_peer()
        ctl = k.control()
        self.assertEqual(ctl.send_payload(b"unacknowledged"), 1)
        peer.expect_frame("I")
        self.assertEqual(ctl.request(CLOSE), 0)
        peer.expect_frame("U", DISC)
        # Nothing taken now could go out.
        self.assertEqual(ctl.send_payload(b"too late"), 0)
        # N(R) 5 is neither V(S) 1 nor V(A) 0.
        peer.write(i_frame(0, 5, b"confused"))
        peer.expect_frame("U", DISC, timeout=3)
        peer.write(u_frame(UA))
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records()[-1], "event 0")

    def test_sighup_is_a_close_request(self):
        k, peer = self.established_on_peer()
        k.proc.send_signal(signal.SIGHUP)
        peer.expect_frame("U", DISC)
        peer.write(u_frame(UA))
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records()[-1], "event 0")
        self.assertEqual(os.listdir(k.run_dir), [])

    def test_run_directory_is_0755_whatever_the_umask(self):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        k, _ = self.kavro_on(peer.path, preexec_fn=lambda: os.umask(0o077))
        k.control().close()
        self.assertEqual(stat.S_IMODE(os.stat(k.run_dir).st_mode), 0o755)
        self.assertEqual(stat.S_IMODE(os.lstat(os.path.join(k.run_dir, "KavroControlProg")).st_mode), 0o660)


if __name__ == "__main__":
    unittest.main()
