#!/usr/bin/env python3
"""Robustness soak: the real kavro against the PBX simulator kavro-pbx, with
payloads in both directions at once, line faults, closes in mid-traffic, a
PBX that falls silent, TCP garbage and closes, and slow listening clients.

Every payload carries a direction, a sequence number, its length and a
CRC-32, and its body is derived from the sequence number, so each one that
arrives (at the recording library, at a `kavroctl listen` client, or printed
by kavro-pbx) is checked byte for byte, and the sequence tells order, gaps and
repeats. After each run the script checks kavro's exit code, the sanitizer
reports on every standard error, the end of every process it started, kavro's
CPU time and memory, and that the sockets were removed.

What the link protocol allows, and the script therefore accepts:
  - a payload from kavro lost when the link is set up again (the unacknowledged
    frame is given up) or when it is closed (the queue is discarded);
  - a payload from the PBX delivered twice when the link was set up again
    while its acknowledgement was still pending (the PBX sends it again on the
    new link);
  - on TCP, payloads lost around an injected garbage burst (the receiver drops
    what it holds and has no way to find the next frame), and a stray frame cut
    out of the middle of a payload behind it;
  - payloads still on their way when the link is closed;
  - records a slow `kavroctl listen` client misses after it was dropped.
Everything else (a bad payload, one out of order, a repeat without a reset, a
gap in the PBX's stream, a hang, a non-zero exit, a sanitizer line, a process
left behind) is reported as a FAULT and makes the exit code 1.

Not part of the test suite. Build first (normal and/or sanitizer build):

  cmake --build build --target kavro kavrod kavroctl kavro-pbx kavro_recorder
  python3 bench/soak_link.py --seconds 120
  python3 bench/soak_link.py --build build-asan --seconds 180 --seed 7
  python3 bench/soak_link.py --scenario serial-mixed --scenario tcp-garbage --seconds 60
"""

import argparse
import fcntl
import json
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
REGISTRY_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Tovik\Tovik TK-Anlage"
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer", "ERROR: UndefinedBehaviorSanitizer", "SUMMARY: ")

TO_KAVRO, TO_PBX, TO_PBX2 = 0x50, 0x4B, 0x4C  # 'P' from the PBX; 'K', 'L' from two clients of kavro
HEAD = struct.Struct(">BBIH")   # magic, direction, sequence, body length


# --- payloads ----------------------------------------------------------------

def body_for(direction, seq, length, seed):
    rng = random.Random((seed << 40) ^ (direction << 32) ^ seq)
    return bytes(rng.getrandbits(8) for _ in range(length))


def make_payload(direction, seq, max_len, rng, seed):
    room = max_len - HEAD.size - 4
    r = rng.random()
    if r < 0.70:
        n = rng.randint(0, min(60, room))
    elif r < 0.95:
        n = rng.randint(0, min(400, room))
    else:
        n = rng.randint(0, room)
    data = HEAD.pack(0x53, direction, seq, n) + body_for(direction, seq, n, seed)
    return data + struct.pack(">I", zlib.crc32(data))


def check_payload(data, direction, seed):
    """Returns the sequence number of a sound payload, or an error text."""
    if len(data) < HEAD.size + 4:
        return "short payload (%d bytes) %s" % (len(data), data[:32].hex())
    magic, d, seq, n = HEAD.unpack_from(data)
    if magic != 0x53 or d != direction:
        return "foreign payload %s" % data[:32].hex()
    if len(data) != HEAD.size + n + 4:
        return "seq %d: length %d, header says %d" % (seq, len(data), HEAD.size + n + 4)
    if struct.unpack(">I", data[-4:])[0] != zlib.crc32(data[:-4]):
        return "seq %d: bad CRC" % seq
    if data[HEAD.size:-4] != body_for(direction, seq, n, seed):
        return "seq %d: body differs" % seq
    return seq


# --- processes ---------------------------------------------------------------

class Procs:
    """Every process a run starts, so that each is waited for and none is left."""

    def __init__(self):
        self.items = []

    def start(self, name, args, **kw):
        p = subprocess.Popen(args, **kw)
        self.items.append((name, p))
        return p

    def leftovers(self):
        return [(n, p.pid) for n, p in self.items if p.poll() is None]

    def kill_all(self):
        for _, p in self.items:
            if p.poll() is None:
                p.kill()
        for _, p in self.items:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                pass


def children_of(pid):
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid and fields[0] != "Z":
                out.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return out


class Sampler(threading.Thread):
    """kavro's CPU time (every thread) and resident memory, twice a second."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.stop_flag = pid, threading.Event()
        self.rss = []  # (seconds since start, kB)
        self.cpu = 0.0
        self.t0 = time.monotonic()

    def run(self):
        tick = os.sysconf("SC_CLK_TCK")
        while not self.stop_flag.wait(0.5):
            try:
                with open("/proc/%d/stat" % self.pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                self.cpu = (int(fields[11]) + int(fields[12])) / tick
                with open("/proc/%d/status" % self.pid) as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            self.rss.append((time.monotonic() - self.t0, int(line.split()[1])))
            except (OSError, IndexError, ValueError):
                return


class LineReader(threading.Thread):
    """Collects a process's standard output line by line; `delay` makes it a
    slow reader (until `hurry` is set)."""

    def __init__(self, stream, delay=0.0):
        super().__init__(daemon=True)
        self.stream, self.delay, self.lines = stream, delay, []
        self.hurry = threading.Event()
        self.start()

    def run(self):
        for raw in iter(self.stream.readline, b""):
            self.lines.append(raw.decode("latin-1").rstrip("\n"))
            if self.delay and not self.hurry.is_set():
                self.hurry.wait(self.delay)


# --- one run -----------------------------------------------------------------

SCENARIOS = {
    # name: transport, kavro-pbx fault options, how it ends, who listens
    "serial-clean": dict(tcp=False, faults=[], end="close", drain=True, listen="recorder"),
    "serial-noise": dict(tcp=False, faults=["noise"], end="sigterm", drain=True, listen="recorder"),
    "serial-corrupt": dict(tcp=False, faults=["corrupt"], end="close", drain=True, listen="fast+slow"),
    "serial-drop": dict(tcp=False, faults=["drop"], end="sigterm", drain=False, listen="recorder"),
    "serial-mixed": dict(tcp=False, faults=["noise", "corrupt", "drop"], end="close", drain=False, listen="recorder"),
    "serial-silent": dict(tcp=False, faults=["silent"], end="self", drain=False, listen="recorder"),
    "serial-pbx-disc": dict(tcp=False, faults=["noise"], end="pbx-disc", drain=False, listen="fast"),
    "serial-double-term": dict(tcp=False, faults=["corrupt"], end="double-sigterm", drain=False, listen="recorder"),
    "serial-harsh": dict(tcp=False, faults=["noise2", "corrupt2", "drop2"], end="close", drain=False, listen="late+churn"),
    "serial-late": dict(tcp=False, faults=["noise"], end="close", drain=True, listen="late+churn"),
    "tcp-late": dict(tcp=True, faults=["keepalive"], end="close", drain=True, listen="late+churn"),
    "serial-pbx-kill": dict(tcp=False, faults=["noise"], end="pbx-kill", drain=False, listen="recorder"),
    "tcp-pbx-kill": dict(tcp=True, faults=["keepalive"], end="pbx-kill", drain=False, listen="fast"),
    "tcp-clean": dict(tcp=True, faults=["keepalive"], end="close", drain=True, listen="fast+slow"),
    "tcp-garbage": dict(tcp=True, faults=["keepalive", "garbage"], end="sigterm", drain=True, listen="recorder"),
    "tcp-close": dict(tcp=True, faults=["keepalive", "close"], end="self", drain=False, listen="recorder"),
    "tcp-silent": dict(tcp=True, faults=["silent"], end="sigterm", drain=False, listen="fast"),
}


class Run:
    def __init__(self, args, name, index, rng):
        self.args, self.name, self.rng = args, name, rng
        self.cfg = SCENARIOS[name]
        self.tcp = self.cfg["tcp"]
        self.seed = args.seed * 1000 + index
        self.build = args.build
        self.faults, self.notes, self.info = [], [], {}
        self.dir = tempfile.mkdtemp(prefix="kavro-soak-")
        self.run_dir = os.path.join(self.dir, "run")
        self.procs = Procs()
        self.max_len = 60000 if self.tcp else 2038
        self.to_kavro_sent = 0     # fed to kavro-pbx
        self.to_pbx_accepted = []  # sequence numbers kavro took
        self.to_pbx_refused = 0
        self.stop_traffic = threading.Event()
        self.listeners, self.kavro_rc, self.pbx_rc = [], None, None
        self.sends_addr, self.closing = {}, False
        self.churns = 0

    def bin(self, name):
        return os.path.join(self.build, name)

    def fault(self, text):
        self.faults.append(text)

    # -- set-up --
    def start_pbx(self):
        args = [self.bin("kavro-pbx"), "--json", "--seed", str(self.seed)]
        f = self.cfg["faults"]
        if self.tcp:
            self.port_file = os.path.join(self.dir, "pbx.port")
            args += ["--tcp", "0", "--port-file", self.port_file]
            args += ["--keepalive-ms", str(self.rng.choice([50, 200, 700])) if "keepalive" in f else "0"]
            if "garbage" in f:
                args += ["--garbage-after", str(self.rng.randint(5, 60))]
            if "close" in f:
                args += ["--close-after", str(self.rng.randint(40, 300))]
            if "silent" in f:
                args += ["--silent-after", str(self.rng.randint(5, 50))]
        else:
            self.path_file = os.path.join(self.dir, "pbx.path")
            args += ["--path-file", self.path_file]
            if "noise" in f:
                args += ["--noise-every", str(self.rng.randint(2, 7))]
            if "corrupt" in f:
                args += ["--corrupt-every", str(self.rng.randint(3, 9))]
            if "drop" in f:
                args += ["--drop-every", str(self.rng.randint(2, 6))]
            if "noise2" in f:
                args += ["--noise-every", str(self.rng.randint(1, 3))]
            if "corrupt2" in f:
                args += ["--corrupt-every", str(self.rng.randint(2, 3))]
            if "drop2" in f:
                args += ["--drop-every", str(self.rng.randint(1, 3))]
            if "silent" in f:
                args += ["--silent-after", str(self.rng.randint(20, 150))]
            if self.cfg["end"] == "pbx-disc":
                args += ["--send-disc-after", str(self.rng.randint(2000, 6000))]
        self.info["pbx_args"] = " ".join(args[1:])
        self.pbx_err = open(os.path.join(self.dir, "pbx.err"), "wb")
        self.pbx = self.procs.start("kavro-pbx", args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=self.pbx_err)
        self.pbx_out = LineReader(self.pbx.stdout)
        wait_file = self.port_file if self.tcp else self.path_file
        if not wait_until(lambda: os.path.exists(wait_file), 10):
            raise RuntimeError("kavro-pbx never came up")
        with open(wait_file) as fh:
            self.pbx_where = fh.read().strip()

    def write_registry(self):
        lines = ["Windows Registry Editor Version 5.00", "", "[%s]" % REGISTRY_KEY]
        if self.tcp:
            lines += ['"Link"="TCP"', '"TapiSvrIpAddr"="127.0.0.1"',
                      '"TapiSvrIpPort"=dword:%08x' % int(self.pbx_where),
                      '"Keepalive"=dword:%08x' % (1 if "keepalive" in self.cfg["faults"] else 0)]
        else:
            lines += ['"Link"="COM1"', '"LinkSpeed"="9600"', '"ControlLines"=dword:00000000', "",
                      "[%s\\Ports]" % REGISTRY_KEY, '"COM1"="%s"' % self.pbx_where]
        self.registry = os.path.join(self.dir, "kavro.reg")
        with open(self.registry, "w") as fh:
            fh.write("\r\n".join(lines) + "\r\n")

    def start_kavro(self):
        log_dir = os.path.join(self.dir, "log")
        os.makedirs(log_dir)
        self.log_path = os.path.join(log_dir, "kavro.log")
        open(self.log_path, "w").close()
        self.record_path = os.path.join(self.dir, "record.txt")
        env = dict(os.environ, KAVRO_RECORD_FILE=self.record_path)
        args = [self.bin("kavro"), "--registry", self.registry, "--run-dir", self.run_dir, "--log-dir", log_dir]
        if self.cfg["listen"] == "recorder":
            args += ["--delivery-library", self.bin(os.path.join("tests", "recorder", "libkavro_recorder.so"))]
        self.kavro_err = open(os.path.join(self.dir, "kavro.err"), "wb")
        self.kavro = self.procs.start("kavro", args, env=env, stdout=subprocess.DEVNULL, stderr=self.kavro_err)
        self.sampler = Sampler(self.kavro.pid)
        self.sampler.start()
        names = ("KavroControlProg",) if self.cfg["listen"] == "recorder" else ("KavroControlProg", "kavrod")
        sockets = [os.path.join(self.run_dir, n) for n in names]
        if not wait_until(lambda: all(os.path.exists(s) for s in sockets) or self.kavro.poll() is not None, 10):
            raise RuntimeError("kavro's sockets never came up")

    def start_listeners(self, which):
        if self.cfg["listen"] == "recorder":
            return
        for kind in self.cfg["listen"].split("+"):
            if kind != which:
                continue
            p = self.procs.start("listen-" + kind, [self.bin("kavroctl"), "--run-dir", self.run_dir, "listen", "--json"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if kind == "slow":
                # A small pipe, so that the client really falls behind and its
                # socket fills, instead of the pipe taking up the slack.
                try:
                    fcntl.fcntl(p.stdout.fileno(), 1031, 4096)  # F_SETPIPE_SZ
                except OSError:
                    pass
            reader = LineReader(p.stdout, delay=0.2 if kind == "slow" else 0.0)
            self.listeners.append((kind, p, reader))

    def churn_loop(self):
        """Clients that come and go: each takes a few records and leaves."""
        while not self.stop_traffic.is_set() and self.kavro.poll() is None:
            n = self.rng.randint(1, 30)
            r = subprocess.run([self.bin("kavroctl"), "--run-dir", self.run_dir, "listen", "--json", "--count", str(n),
                                "--timeout", "0.5"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.churns += 1
            err = r.stderr.decode("latin-1")
            if any(m in err for m in SANITIZER_MARKS):
                self.fault("churning listener: sanitizer report: " + err[:1000])
            seqs = []
            for line in r.stdout.decode("latin-1").splitlines():
                try:
                    rec = json.loads(line)
                except ValueError:
                    self.fault("churning listener: bad line %r" % line[:80])
                    continue
                if rec.get("kind") == "payload":
                    seqs.append(check_payload(bytes.fromhex(rec["hex"]), TO_KAVRO, self.seed))
            bad = [x for x in seqs if not isinstance(x, int)]
            if bad:
                self.fault("churning listener: bad payloads %s" % bad[:3])
            good = [x for x in seqs if isinstance(x, int)]
            if any(b <= a for a, b in zip(good, good[1:])):
                self.fault("churning listener: out of order or repeated %s" % good[:20])

    def delivered_records(self, which=None):
        """(kind, value, bytes) records as the recording library or a listener saw them."""
        out = []
        if self.cfg["listen"] == "recorder":
            try:
                with open(self.record_path) as fh:
                    for line in fh:
                        parts = line.split()
                        if parts and parts[0] in ("payload", "refused"):
                            out.append((parts[0], int(parts[1], 16), bytes.fromhex(parts[2] if len(parts) > 2 else "")))
                        elif parts and parts[0] == "event":
                            out.append(("event", int(parts[1]), b""))
            except FileNotFoundError:
                pass
            return out
        if which is None:
            which = self.cfg["listen"].split("+")[0]
        for kind, _, reader in self.listeners:
            if kind != which:
                continue
            for line in list(reader.lines):
                try:
                    rec = json.loads(line)
                except ValueError:
                    out.append(("bad", 0, line.encode()))
                    continue
                if rec.get("kind") == "payload":
                    out.append(("payload", rec["address"], bytes.fromhex(rec["hex"])))
                elif rec.get("kind") == "event":
                    out.append(("event", rec["code"], b""))
        return out

    def link_up(self):
        return any(k == "event" and v == 1 for k, v, _ in self.delivered_records())

    # -- traffic --
    def feed_pbx(self):
        seq = 0
        while not self.stop_traffic.is_set():
            # Keep the PBX's backlog short, so that a run can drain.
            if seq % 10 == 0 and seq - len(self.kavro_seqs()) > 40:
                self.stop_traffic.wait(0.1)
                continue
            seq += 1
            data = make_payload(TO_KAVRO, seq, self.max_len, self.rng_feed, self.seed)
            try:
                self.pbx.stdin.write((data.hex() + "\n").encode())
                self.pbx.stdin.flush()
            except (BrokenPipeError, ValueError, OSError):
                return
            self.to_kavro_sent = seq
            self.stop_traffic.wait(self.rng_feed.choice([0.0, 0.005, 0.02, 0.05]))

    def send_loop(self):
        seq = 0
        while not self.stop_traffic.is_set() and self.kavro.poll() is None:
            seq += 1
            data = make_payload(TO_PBX, seq, self.max_len, self.rng_send, self.seed)
            address = self.rng_send.randrange(256)
            r = subprocess.run([self.bin("kavroctl"), "--run-dir", self.run_dir, "send", "--address", "%02x" % address,
                                data.hex()], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.sends_addr[seq] = address
            err = r.stderr.decode("latin-1")
            if any(m in err for m in SANITIZER_MARKS):
                self.fault("kavroctl send: sanitizer report:\n" + err[:2000])
            if r.returncode == 0:
                self.to_pbx_accepted.append(seq)
            elif r.returncode == 1:
                self.to_pbx_refused += 1
            else:
                if self.kavro.poll() is None and not self.stop_traffic.is_set() and not self.closing:
                    self.notes.append("kavroctl send exit %d: %s" % (r.returncode, err.strip()[:200]))
                return
            self.stop_traffic.wait(self.rng_send.choice([0.0, 0.01, 0.03]))

    def socket_send_loop(self):
        """A second client, concurrent with kavroctl: many requests over one
        connection of the control socket."""
        seq = 0
        try:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            sock.settimeout(10)
            sock.connect(os.path.join(self.run_dir, "KavroControlProg"))
        except OSError as e:
            self.notes.append("second client cannot connect: %s" % e)
            return
        with sock:
            while not self.stop_traffic.is_set() and self.kavro.poll() is None:
                seq += 1
                data = make_payload(TO_PBX2, seq, self.max_len, self.rng_send2, self.seed)
                try:
                    sock.send(struct.pack("<II", 0x4A, 0x00010000 | 0x42) + data)
                    answer = sock.recv(16)
                except OSError as e:
                    if not self.closing and self.kavro.poll() is None:
                        self.notes.append("second client: %s" % e)
                    return
                if len(answer) != 4:
                    if answer or (not self.closing and self.kavro.poll() is None):
                        self.fault("second client: answer of %d bytes" % len(answer))
                    return
                if struct.unpack("<i", answer)[0] == 1:
                    self.to_pbx2_accepted.append(seq)
                self.stop_traffic.wait(self.rng_send2.choice([0.005, 0.02, 0.05]))

    # -- the run --
    def execute(self, seconds):
        self.rng_feed = random.Random(self.seed + 1)
        self.rng_send = random.Random(self.seed + 2)
        self.rng_send2 = random.Random(self.seed + 3)
        self.to_pbx2_accepted = []
        t0 = time.monotonic()
        try:
            self.start_pbx()
            self.write_registry()
            self.start_kavro()
            traffic = [threading.Thread(target=self.feed_pbx, daemon=True),
                       threading.Thread(target=self.send_loop, daemon=True),
                       threading.Thread(target=self.socket_send_loop, daemon=True)]
            kinds = self.cfg["listen"].split("+")
            if "late" in kinds:
                # Nobody listens at first: what kavro delivers meanwhile must
                # wait in the companion library for the first client.
                for t in traffic:
                    t.start()
                time.sleep(self.rng.uniform(1.5, 3.0))
                self.start_listeners("late")
            else:
                # The fast listener alone first: it takes what waited for a
                # first client (event 1 on TCP); the slow one joins later.
                self.start_listeners("fast")
            if not wait_until(lambda: self.link_up() or self.kavro.poll() is not None, 15):
                self.fault("link never came up (no event 1 within 15 s)")
            self.start_listeners("slow")
            if "churn" in kinds:
                traffic.append(threading.Thread(target=self.churn_loop, daemon=True))
                traffic[-1].start()
            if "late" not in kinds:
                for t in traffic:
                    t.start()
            self.finish(seconds, traffic)
        except RuntimeError as e:
            self.fault(str(e))
        finally:
            self.stop_traffic.set()
            self.procs.kill_all()
            self.sampler_stop()
        self.info["seconds"] = round(time.monotonic() - t0, 1)
        self.verify()
        return self

    def sampler_stop(self):
        if hasattr(self, "sampler"):
            self.sampler.stop_flag.set()

    def finish(self, seconds, traffic):
        end = self.cfg["end"]
        kavro_deadline = {"self": 60, "pbx-disc": 30}.get(end, 15)
        if end in ("self", "pbx-disc"):
            # The PBX ends the link itself (silence, DISC, TCP close): traffic
            # goes on until kavro gives up or is told.
            wait_until(lambda: self.kavro.poll() is not None, seconds + kavro_deadline)
            self.stop_traffic.set()
        else:
            time.sleep(seconds)
            self.stop_traffic.set()
            for t in traffic:
                t.join(15)
            if self.cfg["drain"]:
                self.drain(20)
            self.closing = True
            if end == "close":
                r = subprocess.run([self.bin("kavroctl"), "--run-dir", self.run_dir, "close"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
                if r.returncode != 0:
                    self.fault("kavroctl close exit %d: %s" % (r.returncode, r.stderr.decode("latin-1")))
            elif end == "sigterm":
                self.kavro.send_signal(signal.SIGTERM)
            elif end == "pbx-kill":
                # The PBX vanishes: the line hangs up (serial) or the connection
                # is reset (TCP); kavro must notice and end.
                self.pbx.kill()
            elif end == "double-sigterm":
                self.kavro.send_signal(signal.SIGTERM)
                time.sleep(self.rng.choice([0.0, 0.05, 0.3]))
                if self.kavro.poll() is None:
                    self.kavro.send_signal(signal.SIGTERM)
        self.stop_traffic.set()
        for t in traffic:
            t.join(15)
            if t.is_alive():
                self.fault("a traffic thread hangs (kavroctl send stuck?)")
        try:
            self.kavro_rc = self.kavro.wait(kavro_deadline)
        except subprocess.TimeoutExpired:
            self.kavro_rc = None
            self.fault("kavro did not end within %d s (%s); threads: %s" % (kavro_deadline, end, thread_states(self.kavro.pid)))
            self.kavro.send_signal(signal.SIGABRT)
            try:
                self.kavro.wait(5)
            except subprocess.TimeoutExpired:
                pass
        self.sampler_stop()
        # The PBX: ends by itself after a DISC or a TCP close; otherwise it is
        # told to end (it exits 0 on SIGTERM).
        if not wait_until(lambda: self.pbx.poll() is not None, 4):
            self.pbx.send_signal(signal.SIGTERM)
        try:
            self.pbx_rc = self.pbx.wait(10)
        except subprocess.TimeoutExpired:
            self.pbx_rc = None
            self.fault("kavro-pbx did not end on SIGTERM")
        for kind, p, reader in self.listeners:
            reader.hurry.set()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                self.fault("kavroctl listen (%s) did not end after kavro ended" % kind)
            reader.join(5)
        self.pbx_out.join(5)

    def drain(self, limit):
        want_pbx, want_pbx2 = set(self.to_pbx_accepted), set(self.to_pbx2_accepted)

        def done():
            got = {s for s in self.pbx_seqs() if isinstance(s, int)}
            got2 = {s for s in self.pbx_seqs(TO_PBX2) if isinstance(s, int)}
            have = {s for s in self.kavro_seqs() if isinstance(s, int)}
            return want_pbx <= got and want_pbx2 <= got2 and (self.to_kavro_sent == 0 or self.to_kavro_sent in have)
        if not wait_until(lambda: done() or self.kavro.poll() is not None, limit):
            self.notes.append("not drained within %d s" % limit)

    def pbx_records(self):
        out = []
        if not hasattr(self, "pbx_out"):
            return out
        for line in list(self.pbx_out.lines):
            try:
                rec = json.loads(line)
            except ValueError:
                continue
            if rec.get("kind") == "payload":
                out.append((rec["address"], bytes.fromhex(rec["hex"])))
        return out

    def pbx_seqs(self, direction=TO_PBX):
        other = TO_PBX2 if direction == TO_PBX else TO_PBX
        return [check_payload(d, direction, self.seed) for _, d in self.pbx_records()
                if not (len(d) > 1 and d[1] == other)]

    def kavro_seqs(self, which=None):
        return [check_payload(d, TO_KAVRO, self.seed) for k, _, d in self.delivered_records(which) if k == "payload"]

    # -- checks --
    def trace(self):
        try:
            with open(self.log_path, "rb") as fh:
                return fh.read().decode("latin-1")
        except (OSError, AttributeError):
            return ""

    def verify(self):
        trace = self.trace()
        starts_sent = trace.count("SendFrame U-START")
        starts_got = trace.count("CheckFrame U-START")
        resets = max(0, starts_sent - 1) + starts_got
        self.info["resets"] = resets
        if not self.tcp:
            # With the link up, T200 or T203 always runs: kavro sends something
            # at least every 10 s. A longer silence is a stalled link.
            stamps = []
            for line in trace.split("\n"):
                if "] kavro: SendFrame" in line or "] kavro: RequestService" in line:
                    try:
                        stamps.append(time.mktime(time.strptime(line[line.index("[") + 1:line.index("]")],
                                                                "%d.%m.%y %H:%M:%S")))
                    except ValueError:
                        pass
            gap = max((b - a for a, b in zip(stamps, stamps[1:])), default=0)
            self.info["max_send_gap_s"] = int(gap)
            if gap > 12:
                self.fault("kavro sent nothing for %d s: the link stalled" % gap)
        garbage = "garbage" in self.cfg["faults"]
        end = self.cfg["end"]

        # kavro's end
        if self.kavro_rc not in (0, None):
            self.fault("kavro exit code %s" % self.kavro_rc)
        for s in ("KavroControlProg", "kavrod"):
            if os.path.exists(os.path.join(self.run_dir, s)):
                self.fault("socket %s left behind" % s)
        expected_pbx = {0}
        if end == "self" and not self.tcp:
            expected_pbx = {0, 1}  # a silent PBX sees the line hang up without DISC
        if self.tcp and end != "self":
            expected_pbx = {0, 1}  # a SIGTERM'd kavro may reset the connection
        if end == "pbx-kill":
            expected_pbx = {-signal.SIGKILL}
        if self.pbx_rc is not None and self.pbx_rc not in expected_pbx:
            self.fault("kavro-pbx exit code %s" % self.pbx_rc)

        # sanitizers and crashes on every standard error
        for name in ("kavro.err", "pbx.err"):
            try:
                with open(os.path.join(self.dir, name), "rb") as fh:
                    text = fh.read().decode("latin-1")
            except OSError:
                continue
            hits = [l for l in text.splitlines() if any(m in l for m in SANITIZER_MARKS)]
            if name == "kavro.err" and "cannot keep up" in text:
                self.notes.append("slow listener dropped by kavrod")
            if hits:
                self.fault("%s: sanitizer report: %s" % (name, "; ".join(hits[:5])))
        for kind, p, _ in self.listeners:
            err = p.stderr.read().decode("latin-1") if p.stderr else ""
            if any(m in err for m in SANITIZER_MARKS):
                self.fault("listen %s: sanitizer report: %s" % (kind, err[:500]))
            if p.returncode not in (0, None):
                self.fault("listen %s exit %s: %s" % (kind, p.returncode, err.strip()[:200]))

        # processes
        left = self.procs.leftovers()
        if left:
            self.fault("processes left running: %s" % left)
        stray = children_of(os.getpid())
        if stray:
            self.fault("stray child processes: %s" % stray)

        # CPU and memory
        rss = [kb for _, kb in self.sampler.rss] if hasattr(self, "sampler") else []
        self.info["cpu_s"] = round(self.sampler.cpu, 2) if hasattr(self, "sampler") else 0
        if rss:
            self.info["rss_kb"] = "%d..%d" % (min(rss), max(rss))
            half = rss[len(rss) // 2:]
            if len(rss) > 20 and min(half) > 2 * rss[len(rss) // 4] and max(rss) > 100000:
                self.fault("kavro's memory keeps growing: %s kB" % rss[::max(1, len(rss) // 10)])
        if self.info["seconds"] > 5 and self.info["cpu_s"] > 0.8 * self.info["seconds"]:
            self.fault("kavro used %.1f s CPU in %.1f s" % (self.info["cpu_s"], self.info["seconds"]))

        # the records: events and payloads from the PBX
        records = self.delivered_records()
        events = [v for k, v, _ in records if k == "event"]
        if not events or events[-1] != 0:
            if self.cfg["listen"] == "recorder" or self.kavro_rc == 0:
                self.fault("last event not 0: %s" % events[-5:])
        if [k for k, _, _ in records if k == "bad"]:
            self.fault("unparseable listener lines")
        want_addr = 0x20 if self.tcp else 0
        for k, v, _ in records:
            if k == "payload" and v != want_addr:
                self.fault("payload with address %#x, expected %#x" % (v, want_addr))
                break
        self.check_stream("PBX->kavro", self.kavro_seqs(), self.to_kavro_sent, resets,
                          gaps_allowed=garbage, tolerate_bad=garbage)
        for kind, _, _ in self.listeners:
            if kind == "slow":
                self.check_stream("PBX->kavro (slow listener)", self.kavro_seqs("slow"), self.to_kavro_sent,
                                  resets, gaps_allowed=True, tolerate_bad=garbage, quiet=True)

        # payloads from kavro's clients
        pbx = self.pbx_records()
        for address, data in pbx:
            if len(data) > 1 and data[1] == TO_PBX2:
                if not self.tcp and address != 0x42:
                    self.fault("kavro->PBX (second client): address %#x, sent 0x42" % address)
                    break
                continue
            seq = check_payload(data, TO_PBX, self.seed)
            if isinstance(seq, int) and not self.tcp and self.sends_addr.get(seq) != address:
                self.fault("kavro->PBX seq %d: address %#x, sent %#x" % (seq, address, self.sends_addr.get(seq)))
                break
        accepted = set(self.to_pbx_accepted)
        self.check_stream("kavro->PBX", self.pbx_seqs(), max(accepted) if accepted else 0, resets,
                          gaps_allowed=True, accepted=accepted, tolerate_bad=False)
        accepted2 = set(self.to_pbx2_accepted)
        self.check_stream("kavro->PBX (second client)", self.pbx_seqs(TO_PBX2), 0, resets,
                          gaps_allowed=True, accepted=accepted2, tolerate_bad=False)
        self.info["to_kavro"] = "%d fed, %d delivered" % (self.to_kavro_sent, len(self.kavro_seqs()))
        self.info["to_pbx"] = "%d+%d accepted, %d refused, %d at PBX" % (len(accepted), len(accepted2),
                                                                         self.to_pbx_refused, len(pbx))

    def check_stream(self, label, seqs, last_sent, resets, gaps_allowed, accepted=None, tolerate_bad=False,
                     quiet=False):
        bad = [s for s in seqs if not isinstance(s, int)]
        good = [s for s in seqs if isinstance(s, int)]
        if bad:
            (self.notes.append if tolerate_bad else self.fault)("%s: %d bad payloads: %s" % (label, len(bad), bad[:3]))
        dups = backwards = 0
        for a, b in zip(good, good[1:]):
            if b == a:
                dups += 1
            elif b < a:
                backwards += 1
        if backwards:
            self.fault("%s: %d payloads out of order: %s" % (label, backwards, first_disorder(good)))
        if dups:
            if resets == 0 or label.startswith("kavro->PBX"):
                self.fault("%s: %d repeated payloads without a link reset" % (label, dups))
            else:
                self.notes.append("%s: %d repeats after %d link resets" % (label, dups, resets))
        if accepted is not None:
            unknown = [s for s in good if s not in accepted]
            if unknown:
                self.fault("%s: payloads kavro had refused arrived: %s" % (label, unknown[:5]))
            got = set(good)
            top = max(got) if got else 0
            lost = sorted(s for s in accepted if s < top and s not in got)
            if lost:
                msg = "%s: %d accepted payloads lost in mid-stream (resets %d): %s" % (label, len(lost), resets, lost[:8])
                (self.notes.append if resets or self.tcp_lossy() else self.fault)(msg)
            tail = len([s for s in accepted if s > top])
            if tail and self.cfg["drain"] and self.cfg["end"] not in ("self",):
                self.notes.append("%s: %d accepted payloads never arrived (tail)" % (label, tail))
        else:
            got = sorted(set(good))
            if got:
                missing = [s for s in range(1, got[-1]) if s not in set(got)]
                if missing and not gaps_allowed:
                    self.fault("%s: %d payloads missing in mid-stream: %s" % (label, len(missing), missing[:8]))
                elif missing and not quiet:
                    self.notes.append("%s: %d payloads missing in mid-stream" % (label, len(missing)))

    def tcp_lossy(self):
        # On TCP a client payload is written whole or not at all; nothing is lost
        # in mid-stream unless the connection broke.
        return False

    def cleanup(self, keep):
        for fh in ("pbx_err", "kavro_err"):
            if hasattr(self, fh):
                getattr(self, fh).close()
        if keep or self.faults:
            return self.dir
        shutil.rmtree(self.dir, True)
        return None


def first_disorder(seqs):
    for i, (a, b) in enumerate(zip(seqs, seqs[1:])):
        if b < a:
            return seqs[max(0, i - 3):i + 4]
    return []


def thread_states(pid):
    out = []
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/wchan" % (pid, tid)) as f:
                out.append("%s:%s" % (tid, f.read().strip()))
    except OSError:
        pass
    return ", ".join(out)


def wait_until(pred, seconds):
    end = time.monotonic() + seconds
    while not pred():
        if time.monotonic() > end:
            return False
        time.sleep(0.05)
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=120, help="total soak time (default 120)")
    ap.add_argument("--run-seconds", type=float, default=None,
                    help="traffic time of one run (default: random 4 to 12 s)")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"), help="build directory (default build/)")
    ap.add_argument("--scenario", action="append", choices=sorted(SCENARIOS),
                    help="run only these scenarios (repeatable; default all, in turn)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep", action="store_true", help="keep every run's directory, not only failed ones")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    for b in ("kavro", "kavroctl", "kavro-pbx", "libkavrod.so.1", "tests/recorder/libkavro_recorder.so"):
        if not os.path.exists(os.path.join(args.build, b)):
            sys.exit("soak: %s/%s is missing; build it first" % (args.build, b))

    names = args.scenario or list(SCENARIOS)
    rng = random.Random(args.seed)
    t_end = time.monotonic() + args.seconds
    total_faults, index = 0, 0
    totals = dict(runs=0, to_kavro=0, to_pbx=0)
    while time.monotonic() < t_end:
        name = names[index % len(names)]
        index += 1
        seconds = args.run_seconds or rng.uniform(4, 12)
        run = Run(args, name, index, random.Random(rng.getrandbits(32))).execute(seconds)
        totals["runs"] += 1
        totals["to_kavro"] += len([s for s in run.kavro_seqs() if isinstance(s, int)])
        totals["to_pbx"] += len(run.pbx_records())
        kept = run.cleanup(args.keep)
        status = "FAULT" if run.faults else "ok"
        print("[%3d] %-18s %-5s %s" % (index, name, status,
                                       " ".join("%s=%s" % kv for kv in run.info.items() if kv[0] != "pbx_args")))
        print("      kavro-pbx %s" % run.info.get("pbx_args", ""))
        for n in run.notes:
            print("      note: %s" % n)
        for f in run.faults:
            print("      FAULT: %s" % f)
        if kept:
            print("      kept %s" % kept)
        sys.stdout.flush()
        total_faults += len(run.faults)
    print("soak: %d runs, %d payloads delivered by kavro, %d at the PBX, %d faults" %
          (totals["runs"], totals["to_kavro"], totals["to_pbx"], total_faults))
    return 1 if total_faults else 0


if __name__ == "__main__":
    sys.exit(main())
