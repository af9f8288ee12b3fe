#!/usr/bin/env python3
"""Serial-link benchmark: the real kavro on a pseudo-terminal against a
scripted PBX peer.

  (a) receive cost: CPU time kavro spends per MB of payload it receives. The
      peer sets the link up, then streams I-frames of mixed sizes; with a
      window of one it waits for each RR before the next frame. kavro's CPU
      (every thread) is read from /proc before and after the stream. The
      baseline is `cat` reading the same byte stream (repeated, for a
      measurable time) from a pseudo-terminal, once frame by frame (each frame
      waits until cat has read the one before, as kavro's stream does) and
      once in bulk; cat's start-up cost is taken off.
  (b) send latency: the time from a client's payload request on the control
      socket to the last byte of its I-frame on the line, with the link idle
      (the previous frame acknowledged). The peer reads until the whole frame
      is decoded.

Not part of the test suite. Needs build/kavro and the recording companion
library build/tests/recorder/libkavro_recorder.so:

  cmake --build build --target kavro kavro_recorder
  python3 bench/serial_link_bench.py [--frames N] [--payloads N] [--trace-log]
"""

import argparse
import fcntl
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from harness import (DISC, KAVRO, PF, RECORDER, REGISTRY_KEY, RR, UA, ControlClient,  # noqa: E402
                     PtyPeer, i_frame, s_frame, u_frame)

MAX_I_PAYLOAD = 2038
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def mixed_sizes(count, seed):
    """Payload sizes as a PBX's traffic has them: mostly short call events,
    some longer records, a few large blocks up to the frame limit."""
    rng = random.Random(seed)
    sizes = []
    for _ in range(count):
        r = rng.random()
        if r < 0.70:
            sizes.append(rng.randint(8, 64))
        elif r < 0.95:
            sizes.append(rng.randint(65, 400))
        else:
            sizes.append(rng.randint(401, MAX_I_PAYLOAD))
    return sizes


def payloads_for(sizes, seed):
    rng = random.Random(seed + 1)
    return [bytes(rng.getrandbits(8) for _ in range(n)) for n in sizes]


# --- CPU time of a running process -------------------------------------------

def cpu_seconds(pid):
    """CPU time of every thread of `pid`: nanoseconds from schedstat when the
    kernel keeps them, else the clock ticks of /proc/PID/stat."""
    total_ns = 0
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total_ns += int(f.read().split()[0])
        return total_ns / 1e9
    except (OSError, ValueError, IndexError):
        pass
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime, stime


# --- kavro on a pseudo-terminal ------------------------------------------------

class KavroRun:
    def __init__(self, peer, trace_log):
        self.dir = tempfile.mkdtemp(prefix="kavro-bench-")
        self.run_dir = os.path.join(self.dir, "run")
        log_dir = os.path.join(self.dir, "log")
        os.makedirs(log_dir)
        if trace_log:
            open(os.path.join(log_dir, "kavro.log"), "w").close()
        self.record = os.path.join(self.dir, "record.txt")
        registry = os.path.join(self.dir, "kavro.reg")
        with open(registry, "w") as f:
            f.write("\r\n".join([
                "Windows Registry Editor Version 5.00", "", "[%s]" % REGISTRY_KEY,
                '"Link"="COM1"', '"ControlLines"=dword:00000000', "",
                "[%s\\Ports]" % REGISTRY_KEY, '"COM1"="%s"' % peer.path, ""]))
        env = dict(os.environ, KAVRO_RECORD_FILE=self.record)
        self.proc = subprocess.Popen(
            [KAVRO, "--registry", registry, "--run-dir", self.run_dir, "--log-dir", log_dir,
             "--delivery-library", RECORDER],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.peer = peer
        peer.handshake()
        self.ctl = self.connect()
        # The link is up once kavro has taken the UA, a read gap after it
        # came; a payload sent before that waits and would skew the timing.
        end = time.monotonic() + 5
        while not self.has_record("event 1"):
            if time.monotonic() > end:
                raise SystemExit("bench: the link never came up")
            time.sleep(0.005)

    def connect(self):
        end = time.monotonic() + 5
        while True:
            try:
                return ControlClient(self.run_dir)
            except OSError:
                if time.monotonic() > end or self.proc.poll() is not None:
                    raise SystemExit("bench: kavro's control socket never came up")
                time.sleep(0.01)

    def has_record(self, text):
        try:
            with open(self.record) as f:
                return any(line.strip() == text for line in f)
        except FileNotFoundError:
            return False

    def delivered(self):
        try:
            with open(self.record) as f:
                return sum(1 for line in f if line.startswith("payload "))
        except FileNotFoundError:
            return 0

    def close(self):
        """Takes the link down in order: the close request, DISC answered by UA."""
        try:
            self.ctl.request(0x10)
        except OSError:
            pass
        end = time.monotonic() + 10
        while self.proc.poll() is None and time.monotonic() < end:
            if not self.peer.pump(0.1):
                continue
            for f in self.peer.frames:
                if f.kind == "U" and f.code == DISC:
                    self.peer.write(u_frame(UA))
            self.peer.frames.clear()
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.ctl.close()
        shutil.rmtree(self.dir, True)


def answer_polls(peer, frames, nr):
    """Answers kavro's polls (RR with P/F at an odd address) with a final RR;
    returns the frames that are not polls."""
    rest = []
    for f in frames:
        if f.kind == "S" and f.code & PF and f.dest & 1:
            peer.write(s_frame(RR | PF, nr, 0))
        else:
            rest.append(f)
    return rest


def wait_for_ack(peer, expected_nr, nr, timeout=5.0):
    end = time.monotonic() + timeout
    while True:
        peer.frames = answer_polls(peer, peer.frames, nr)
        while peer.frames:
            f = peer.frames.pop(0)
            if f.kind == "S" and (f.code & 0x0F) == RR and f.nr == expected_nr:
                return
        left = end - time.monotonic()
        if left <= 0:
            raise SystemExit("bench: no RR %d from kavro within %.0fs" % (expected_nr, timeout))
        peer.pump(left)


# --- (a) receive cost ------------------------------------------------------------

def measure_receive(payloads, trace_log):
    peer = PtyPeer()
    run = KavroRun(peer, trace_log)
    try:
        total = sum(len(p) for p in payloads)
        before = cpu_seconds(run.proc.pid)
        start = time.monotonic()
        for k, payload in enumerate(payloads):
            ns = k & 7
            peer.write(i_frame(ns, 0, payload, dest=0x20))
            wait_for_ack(peer, (ns + 1) & 7, 0)
        elapsed = time.monotonic() - start
        used = cpu_seconds(run.proc.pid) - before
        end = time.monotonic() + 5
        while run.delivered() < len(payloads) and time.monotonic() < end:
            time.sleep(0.01)
        if run.delivered() != len(payloads):
            raise SystemExit("bench: %d payloads sent, %d delivered" % (len(payloads), run.delivered()))
        return used, total, elapsed
    finally:
        run.close()
        peer.close()


def measure_cat(stream_frames, paced):
    """CPU time of `cat` reading the byte stream from a pseudo-terminal."""
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    path = os.ttyname(slave)
    with open(path, "rb") as source:
        proc = subprocess.Popen(["cat"], stdin=source, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    queued = struct.pack("i", 0)

    def input_queue():
        return struct.unpack("i", fcntl.ioctl(slave, termios.FIONREAD, queued))[0]

    total = 0
    for frame in stream_frames:
        view = memoryview(frame)
        while view:
            n = os.write(master, view)
            view = view[n:]
        total += len(frame)
        if paced:
            # Each frame waits until cat has taken the one before, as each
            # I-frame to kavro waits for its acknowledgement.
            while input_queue() > 0:
                time.sleep(0.0001)
    while input_queue() > 0:
        time.sleep(0.001)
    os.close(master)  # cat's next read fails and it ends
    os.close(slave)
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0
    return usage.ru_utime + usage.ru_stime, total


# --- (b) send latency --------------------------------------------------------------

def measure_latency(payloads, settle):
    peer = PtyPeer()
    run = KavroRun(peer, False)
    try:
        samples = []
        for k, payload in enumerate(payloads):
            t0 = time.perf_counter()
            result = run.ctl.send_payload(payload, address=0x20)
            if result != 1:
                raise SystemExit("bench: kavro refused payload %d (result %d)" % (k, result))
            frame = None
            end = time.monotonic() + 5
            while frame is None:
                peer.frames = answer_polls(peer, peer.frames, 0)
                for i, f in enumerate(peer.frames):
                    if f.kind == "I":
                        frame = peer.frames.pop(i)
                        break
                if frame is None:
                    if time.monotonic() > end:
                        raise SystemExit("bench: payload %d never reached the line" % k)
                    peer.pump(1.0)
            t1 = time.perf_counter()
            if frame.payload != payload:
                raise SystemExit("bench: payload %d arrived changed" % k)
            samples.append(t1 - t0)
            peer.write(s_frame(RR, (frame.ns + 1) & 7))
            # kavro reads the line in bursts that end after a quiet gap; give
            # it that long to take the acknowledgement, so the next request
            # finds the link idle.
            time.sleep(settle)
            peer.pump(0)
        return samples
    finally:
        run.close()
        peer.close()


def percentile(values, q):
    ordered = sorted(values)
    idx = min(len(ordered) - 1, max(0, int(round(q / 100.0 * (len(ordered) - 1)))))
    return ordered[idx]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=300, help="I-frames streamed to kavro for (a)")
    parser.add_argument("--payloads", type=int, default=300, help="payloads timed for (b)")
    parser.add_argument("--cat-repeat", type=int, default=0,
                        help="times the stream is repeated for the cat baselines (default: to about 4 MB)")
    parser.add_argument("--settle-ms", type=float, default=50.0,
                        help="pause after each acknowledgement in (b), above kavro's 34 ms read gap")
    parser.add_argument("--trace-log", action="store_true", help="also measure (a) with the trace log on")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    for path in (KAVRO, RECORDER):
        if not os.path.exists(path):
            raise SystemExit("bench: %s not built (cmake --build build --target kavro kavro_recorder)" % path)

    sizes = mixed_sizes(args.frames, args.seed)
    payloads = payloads_for(sizes, args.seed)
    stream = [i_frame(k & 7, 0, p, dest=0x20) for k, p in enumerate(payloads)]
    mb = 1024.0 * 1024.0
    if args.frames < 1 or args.payloads < 1 or args.cat_repeat < 0:
        raise SystemExit("bench: --frames and --payloads must be at least 1, --cat-repeat not negative")
    if args.cat_repeat == 0:
        # Enough bytes that cat's CPU time stands well above its start-up cost.
        args.cat_repeat = max(1, int(4 * mb / sum(len(f) for f in stream)))

    print("serial link benchmark: %d I-frames, payload sizes %d..%d bytes, mean %.0f, %.1f KB"
          % (len(sizes), min(sizes), max(sizes), statistics.mean(sizes), sum(sizes) / 1024.0))
    rows = []
    used, total, elapsed = measure_receive(payloads, False)
    rows.append(("kavro receiving, trace log off", used, total, len(payloads),
                 "%.1f frames/s, %.1f KB/s" % (len(payloads) / elapsed, total / 1024.0 / elapsed)))
    if args.trace_log:
        used, total, elapsed = measure_receive(payloads, True)
        rows.append(("kavro receiving, trace log on", used, total, len(payloads),
                     "%.1f frames/s, %.1f KB/s" % (len(payloads) / elapsed, total / 1024.0 / elapsed)))
    # cat's own start and end cost, taken off its figures: kavro's figure is
    # read while it runs and holds none of it.
    startup = statistics.median(measure_cat([], paced=False)[0] for _ in range(5))
    # Both figures per MB of payload carried: the stream cat reads is the
    # same frames, framing included.
    payload_total = sum(sizes) * args.cat_repeat
    used, line_total = measure_cat(stream * args.cat_repeat, paced=True)
    note = "line bytes %.2f MB" % (line_total / mb)
    rows.append(("cat, same stream x%d, frame by frame" % args.cat_repeat, used - startup, payload_total,
                 len(stream) * args.cat_repeat, note))
    used, line_total = measure_cat(stream * args.cat_repeat, paced=False)
    rows.append(("cat, same stream x%d, bulk" % args.cat_repeat, used - startup, payload_total,
                 len(stream) * args.cat_repeat, note))

    print()
    print("(a) CPU time per MB of payload received")
    print("  %-38s %8s %8s %10s %9s  %s" % ("reader", "CPU ms", "MB", "CPU ms/MB", "us/frame", "note"))
    for name, cpu, nbytes, frames, note in rows:
        print("  %-38s %8.1f %8.3f %10.1f %9.1f  %s" % (name, cpu * 1000, nbytes / mb, cpu * 1000 / (nbytes / mb),
                                                       cpu * 1e6 / frames, note))

    latency_payloads = payloads_for(mixed_sizes(args.payloads, args.seed + 100), args.seed + 100)
    samples = measure_latency(latency_payloads, args.settle_ms / 1000.0)
    ms = [s * 1000 for s in samples]
    print()
    print("(b) control request to last byte on the line, link idle, %d payloads" % len(ms))
    print("  %10s %10s %10s %10s %10s" % ("median ms", "p95 ms", "p99 ms", "min ms", "max ms"))
    print("  %10.3f %10.3f %10.3f %10.3f %10.3f" % (statistics.median(ms), percentile(ms, 95), percentile(ms, 99),
                                                   min(ms), max(ms)))


if __name__ == "__main__":
    main()
