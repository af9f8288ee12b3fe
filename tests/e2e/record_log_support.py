"""The kill loop of the record log, shared by its end-to-end test and its
bench script: the real kavro on a pseudo-terminal with the real library
and a record log, kavro-pbx sending numbered payloads and writing down
each one kavro acknowledged, an acknowledged client that comes and goes,
and kavro killed with SIGKILL at random instants and started again at
once."""

import os
import random
import signal
import socket
import struct
import subprocess
import threading
import time

from harness import BUILD, KAVRO, KAVRO_PBX, REGISTRY_KEY

KAVROD = os.path.join(BUILD, "libkavrod.so.1")
PAYLOAD_ID, EVENT_ID, AGAIN = 4, 5, 0x100
REQUEST_ACKNOWLEDGED, REQUEST_ACK = 2, 3


def write_registry(path, device):
    with open(path, "w") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n\"Link\"=\"COM1\"\r\n\r\n"
                "[%s\\Ports]\r\n\"COM1\"=\"%s\"\r\n" % (REGISTRY_KEY, REGISTRY_KEY, device))


def wait_for(predicate, timeout, what):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


class AcknowledgedClient:
    """Connects as the acknowledged client, takes and acknowledges records
    for a random while, leaves, and comes again, until stopped. Keeps
    every record it was sent: identity -> payload, and in which start of
    kavro it came."""

    def __init__(self, run_dir, rng):
        self.path = os.path.join(run_dir, "kavrod")
        self.rng = rng
        self.lock = threading.Lock()
        self.by_identity = {}
        self.payloads = set()
        self.conflicts = []  # an identity seen with two different payloads
        self.not_marked = []  # an old record served again without the mark
        self.generation = 0  # kavro's start, set by the loop
        self.first_seen = {}  # identity -> the start it first came in
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def take(self, kind, identity, payload):
        with self.lock:
            old = self.by_identity.get(identity)
            if old is not None and old != payload:
                self.conflicts.append((identity, old, payload))
            self.by_identity[identity] = payload
            seen = self.first_seen.setdefault(identity, self.generation)
            if seen < self.generation and not kind & AGAIN:
                self.not_marked.append(identity)
            if kind & 0xFF == PAYLOAD_ID:
                self.payloads.add(payload)

    def run(self):
        while not self.stop.is_set():
            s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            try:
                s.connect(self.path)
                s.send(struct.pack("<II", REQUEST_ACKNOWLEDGED, 0))
                s.settimeout(0.05)
                leave_at = time.monotonic() + self.rng.uniform(0.05, 0.5)
                while time.monotonic() < leave_at and not self.stop.is_set():
                    try:
                        packet = s.recv(70000)
                    except socket.timeout:
                        continue
                    if not packet:
                        break
                    kind, _ = struct.unpack_from("<II", packet)
                    if kind & 0xFF not in (PAYLOAD_ID, EVENT_ID):
                        continue
                    log_id, seq = struct.unpack_from("<QQ", packet, 8)
                    self.take(kind, (log_id, seq), packet[24:])
                    s.send(struct.pack("<IIQ", REQUEST_ACK, 0, seq))
            except OSError:
                pass
            finally:
                s.close()
            self.stop.wait(self.rng.uniform(0.0, 0.2))

    def close(self):
        self.stop.set()
        self.thread.join(5)


class KillLoop:
    def __init__(self, work_dir, seed, payload_interval_ms=3, kavro_args=()):
        self.kavro_args = list(kavro_args)
        self.dir = work_dir
        self.seed = seed
        self.rng = random.Random(seed)
        self.run_dir = os.path.join(work_dir, "run")
        self.log_dir = os.path.join(work_dir, "log")
        self.record_log = os.path.join(work_dir, "records")
        self.acked_file = os.path.join(work_dir, "acked")
        os.makedirs(self.log_dir, exist_ok=True)
        path_file = os.path.join(work_dir, "pty")
        self.pbx = subprocess.Popen([KAVRO_PBX, "--path-file", path_file, "--stay", "--pattern", "1000000",
                                     "--interval", str(payload_interval_ms), "--pattern-numbered",
                                     "--pattern-length", "24", "--acked-file", self.acked_file, "-q"],
                                    stdout=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(path_file), 10, "kavro-pbx's device")
        with open(path_file) as f:
            device = f.read().strip()
        self.registry = os.path.join(work_dir, "kavro.reg")
        write_registry(self.registry, device)
        self.starts = 0
        self.kavro = None
        self.client = AcknowledgedClient(self.run_dir, random.Random(seed + 1))

    def start_kavro(self):
        self.starts += 1
        self.client.generation = self.starts
        err = open(os.path.join(self.dir, "kavro-%d.err" % self.starts), "wb")
        self.kavro = subprocess.Popen([KAVRO, "--registry", self.registry, "--run-dir", self.run_dir,
                                       "--log-dir", self.log_dir, "--delivery-library", KAVROD,
                                       "--record-log", self.record_log] + self.kavro_args,
                                      stdout=subprocess.DEVNULL, stderr=err)
        err.close()

    def acked(self):
        try:
            with open(self.acked_file) as f:
                return {bytes.fromhex(line) for line in f.read().split()}
        except FileNotFoundError:
            return set()

    def run(self, kills):
        """Kills kavro `kills` times, then stops it cleanly, starts it once
        more and lets the client take everything. Returns the acknowledged
        payloads the client never got (empty when all is well)."""
        self.start_kavro()
        for _ in range(kills):
            time.sleep(self.rng.uniform(0.2, 1.5))
            self.kavro.send_signal(signal.SIGKILL)
            self.kavro.wait()
            self.start_kavro()
        time.sleep(self.rng.uniform(0.3, 0.6))
        self.kavro.send_signal(signal.SIGTERM)
        self.kavro.wait(20)
        expected = self.acked()
        self.start_kavro()
        end = time.monotonic() + 60
        while time.monotonic() < end:
            with self.client.lock:
                missing = expected - self.client.payloads
            if not missing:
                break
            time.sleep(0.05)
        return expected, missing

    def lines(self):
        """What kavro said on standard error, start by start."""
        said = []
        for n in range(1, self.starts + 1):
            with open(os.path.join(self.dir, "kavro-%d.err" % n), "rb") as f:
                said += ["%d: %s" % (n, l) for l in f.read().decode("latin-1").splitlines()]
        return said

    def errors(self):
        """kavro's lines that say a log was set aside or could not be read
        or written."""
        return [l for l in self.lines() if "set aside" in l or "cannot be read" in l or "cannot write" in l]

    def close(self):
        self.client.close()
        for p in (self.kavro, self.pbx):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
