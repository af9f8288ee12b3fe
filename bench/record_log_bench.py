#!/usr/bin/env python3
"""Record-log benchmark and soak: the real kavro on a pseudo-terminal with
the default companion library, kavro-pbx streaming numbered payloads, and
an acknowledged client that takes and acknowledges everything.

  rate   the stop-and-wait rate of the serial link (payloads the PBX saw
         acknowledged per second; kavro reads the line in bursts that end
         after its 34 ms quiet gap, which bounds it) without the record log,
         with the log at the default sync and with --record-log-sync always;
         the last also gives the longest wait of a hand-over for a sync, as
         the library says it at the clean stop.
  kills  the kill loop of tests/e2e/test_record_log.py, longer: kavro killed
         with SIGKILL at random instants N times; every payload the PBX saw
         acknowledged must reach the client.

Not part of the test suite:

  cmake --build build --target kavro kavrod kavro-pbx
  python3 bench/record_log_bench.py rate [--seconds 20] [--runs 3]
  python3 bench/record_log_bench.py kills [--kills 50] [--seed S]
"""

import argparse
import os
import random
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from harness import KAVRO, KAVRO_PBX  # noqa: E402
from record_log_support import KAVROD, AcknowledgedClient, KillLoop, wait_for, write_registry  # noqa: E402


def count_lines(path):
    try:
        with open(path, "rb") as f:
            return f.read().count(b"\n")
    except FileNotFoundError:
        return 0


class SteadyClient(AcknowledgedClient):
    """Stays connected: only the rate is measured here."""

    def run(self):
        while not self.stop.is_set():
            s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            try:
                s.connect(self.path)
                s.send(struct.pack("<II", 2, 0))
                s.settimeout(0.2)
                while not self.stop.is_set():
                    try:
                        packet = s.recv(70000)
                    except socket.timeout:
                        continue
                    if not packet:
                        break
                    kind, _ = struct.unpack_from("<II", packet)
                    if kind & 0xFF in (4, 5):
                        seq = struct.unpack_from("<Q", packet, 16)[0]
                        s.send(struct.pack("<IIQ", 3, 0, seq))
            except OSError:
                self.stop.wait(0.05)
            finally:
                s.close()


def measure_rate(mode, seconds):
    """Payloads acknowledged to the PBX per second, and what the library
    said of its waits for a sync."""
    d = tempfile.mkdtemp(prefix="kavro-rlog-bench-")
    try:
        acked = os.path.join(d, "acked")
        path_file = os.path.join(d, "pty")
        pbx = subprocess.Popen([KAVRO_PBX, "--path-file", path_file, "--pattern", "1000000", "--interval", "0",
                                "--pattern-numbered", "--pattern-length", "64", "--acked-file", acked, "-q"],
                               stdout=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(path_file), 10, "kavro-pbx")
        registry = os.path.join(d, "kavro.reg")
        with open(path_file) as f:
            write_registry(registry, f.read().strip())
        run_dir = os.path.join(d, "run")
        args = [KAVRO, "--registry", registry, "--run-dir", run_dir, "--log-dir", d, "--delivery-library", KAVROD]
        if mode != "none":
            args += ["--record-log", os.path.join(d, "records"), "--record-log-sync", mode]
        err_path = os.path.join(d, "kavro.err")
        with open(err_path, "wb") as err:
            kavro = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=err)
        client = SteadyClient(run_dir, random.Random(1))
        try:
            wait_for(lambda: count_lines(acked) > 5, 20, "the stream to start")
            start_n, start_t = count_lines(acked), time.monotonic()
            time.sleep(seconds)
            n, t = count_lines(acked), time.monotonic()
        finally:
            kavro.send_signal(signal.SIGTERM)
            kavro.wait(20)
            client.close()
            pbx.kill()
            pbx.wait()
        with open(err_path, encoding="latin-1") as f:
            said = f.read()
        m = re.search(r"the longest ([0-9.]+) ms", said)
        return (n - start_n) / (t - start_t), (float(m.group(1)) if m else None)
    finally:
        shutil.rmtree(d, True)


def rate(args):
    results = {"none": [], "default": [], "always": []}
    worst = []
    for run in range(args.runs):
        for mode in ("none", "default", "always"):
            r, w = measure_rate(mode, args.seconds)
            results[mode].append(r)
            if w is not None:
                worst.append(w)
            print("run %d %-8s %.2f payloads/s%s" % (run + 1, mode, r, "" if w is None else
                                                     ", longest wait for a sync %.1f ms" % w), flush=True)
    base = statistics.median(results["none"])
    for mode in ("default", "always"):
        print("%-8s median %.2f/s, %.3f of no log" % (mode, statistics.median(results[mode]),
                                                      statistics.median(results[mode]) / base))
    if worst:
        print("always: longest wait for a sync over all runs %.1f ms" % max(worst))


def kills(args):
    seed = args.seed if args.seed is not None else time.time_ns() % 1000000
    d = tempfile.mkdtemp(prefix="kavro-rlog-kills-")
    loop = KillLoop(d, seed, kavro_args=args.kavro_arg)
    try:
        expected, missing = loop.run(kills=args.kills)
        c = loop.client
        print("seed %d, %d kills: %d payloads acknowledged to the PBX, %d missing at the client, %d records "
              "taken, %d identities with two payloads, %d old records without the mark, logs set aside or "
              "failing: %d" % (seed, args.kills, len(expected), len(missing), len(c.by_identity), len(c.conflicts),
                               len(c.not_marked), len(loop.errors())))
        bad = missing or c.conflicts or c.not_marked or loop.errors()
        return 1 if bad else 0
    finally:
        loop.close()
        shutil.rmtree(d, True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    r = sub.add_parser("rate")
    r.add_argument("--seconds", type=float, default=20)
    r.add_argument("--runs", type=int, default=3)
    k = sub.add_parser("kills")
    k.add_argument("--kills", type=int, default=50)
    k.add_argument("--seed", type=int)
    k.add_argument("--kavro-arg", action="append", default=[], help="one more argument for kavro")
    args = parser.parse_args()
    return rate(args) if args.what == "rate" else kills(args)


if __name__ == "__main__":
    sys.exit(main() or 0)
