#!/usr/bin/env python3
"""Delivery throughput of a TCP link against a minimal C relay, in the same run.

A PBX side on loopback writes N tagged frames of L payload bytes as fast as
TCP takes them. Path 1: the real kavro cuts them out and hands them to the
default companion library, which serves them on RUN_DIR/kavrod. Path 2:
delivery_relay, one thread that cuts the same frames and sends each payload
as one record with one sendmsg. The same client, delivery_sink, reads either
socket as fast as it can (recvmmsg) and checks the number in every payload:
no loss, no duplicate, no reordering.

The time of a path runs from the first byte written by the PBX side to the
last payload read by the client. The ratio is relay time / kavro time, so
above 1 means kavro delivers faster than the relay; each run measures both
paths back to back (in alternating order), so the ratio is fair on a machine
that others share.

    cmake --build build --target kavro kavrod delivery_relay delivery_sink
    python3 bench/delivery_bench.py [--payloads N] [--sizes 16,1024] [--runs R] [--library FILE]
"""

import argparse
import os
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

REGISTRY = ("Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
            '"Link"="TCP"\r\n"TapiSvrIpAddr"="127.0.0.1"\r\n'
            '"TapiSvrIpPort"=dword:%08x\r\n"Keepalive"=dword:00000000\r\n')


def frames(n, size):
    out = []
    for i in range(n):
        out.append(b"\xC5" + size.to_bytes(2, "big") + struct.pack("<I", i) + bytes([i & 0xFF]) * (size - 4))
    return b"".join(out)


class Result:
    def __init__(self, line, start_ns, stderr_text=""):
        fields = line.split()
        values = dict(zip(fields[0::2], (int(v) for v in fields[1::2])))
        self.received = values["received"]
        self.lost = values["lost"]
        self.duplicated = values["duplicated"]
        self.reordered = values["reordered"]
        self.malformed = values["malformed"]
        self.seconds = (values["last_ns"] - start_ns) / 1e9
        self.dropped = stderr_text.count("dropped")

    def bad(self):
        return self.lost + self.duplicated + self.reordered + self.malformed


class Bench:
    def __init__(self, build, n, library=None, record_log=False):
        self.record_log = record_log
        self.build = build
        self.n = n
        self.library = library
        self.tmp = tempfile.mkdtemp(prefix="kavro-delivery-bench-")

    def close(self):
        shutil.rmtree(self.tmp, True)

    def binary(self, name):
        path = os.path.join(self.build, name)
        if not os.path.exists(path):
            raise SystemExit("not built: %s (cmake --build %s --target %s)" % (path, self.build, os.path.basename(name)))
        return path

    def measure(self, conn, socket_path, size, data):
        """Starts the client on socket_path, sends `data` on conn, returns
        the client's line and the start time."""
        sink = subprocess.Popen([self.binary("bench/delivery_sink"), socket_path, str(self.n), str(size)],
                                stdout=subprocess.PIPE, text=True)
        try:
            if sink.stdout.readline().strip() != "ready":
                raise SystemExit("delivery_sink did not connect to %s" % socket_path)
            start = time.monotonic_ns()
            sender = threading.Thread(target=conn.sendall, args=(data,), daemon=True)
            sender.start()
            line = sink.stdout.readline()
            sink.wait(30)
            sender.join(30)
            return line, start
        finally:
            if sink.poll() is None:
                sink.kill()
                sink.wait()
            sink.stdout.close()

    def through_kavro(self, size, data, run):
        work = os.path.join(self.tmp, "kavro-%d-%d" % (size, run))
        os.makedirs(os.path.join(work, "log"))
        srv = socket.socket()
        srv.bind(("127.0.0.1", 0))
        srv.listen(1)
        registry = os.path.join(work, "kavro.reg")
        with open(registry, "w") as f:
            f.write(REGISTRY % srv.getsockname()[1])
        run_dir = os.path.join(work, "run")
        err_path = os.path.join(work, "kavro.err")
        with open(err_path, "w") as err:
            args = [self.binary("kavro"), "--registry", registry, "--run-dir", run_dir,
                    "--log-dir", os.path.join(work, "log")]
            if self.library:
                args += ["--delivery-library", self.library]
            if self.record_log:
                # Every record written to the log before it is taken; the
                # sink is a plain client, served from memory as ever.
                args += ["--record-log", os.path.join(work, "records")]
            kavro = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=err)
        try:
            srv.settimeout(10)
            conn, _ = srv.accept()
            line, start = self.measure(conn, os.path.join(run_dir, "kavrod"), size, data)
            conn.close()
            rc = kavro.wait(10)
        finally:
            if kavro.poll() is None:
                kavro.kill()
                kavro.wait()
            srv.close()
        with open(err_path) as f:
            result = Result(line, start, f.read())
        if result.bad() or rc != 0:
            with open(err_path) as f:
                print("kavro exit %s; its standard error:\n%s" % (rc, f.read()))
        return result

    def through_relay(self, size, data, run):
        path = os.path.join(self.tmp, "relay-%d-%d.sock" % (size, run))
        srv = socket.socket()
        srv.bind(("127.0.0.1", 0))
        srv.listen(1)
        relay = subprocess.Popen([self.binary("bench/delivery_relay"), "127.0.0.1", str(srv.getsockname()[1]), path])
        try:
            srv.settimeout(10)
            conn, _ = srv.accept()
            line, start = self.measure(conn, path, size, data)
            conn.close()
            relay.wait(10)
        finally:
            if relay.poll() is None:
                relay.kill()
                relay.wait()
            srv.close()
        return Result(line, start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.environ.get("KAVRO_BUILD_DIR",
                                                          os.path.join(os.path.dirname(__file__), "..", "build")))
    parser.add_argument("--payloads", type=int, default=20000)
    parser.add_argument("--sizes", default="16,1024")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--library", help="companion library for kavro instead of the default one")
    parser.add_argument("--record-log", action="store_true", help="run kavro with a record log (in the temporary "
                        "directory, synced at the default rule)")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    bench = Bench(args.build, args.payloads, args.library and os.path.abspath(args.library), args.record_log)
    ratios = {s: [] for s in sizes}
    bad = {"kavro": 0, "relay": 0}
    dropped = 0
    print("%d payloads per path; load average %.2f %.2f %.2f" % ((args.payloads,) + os.getloadavg()))
    try:
        for run in range(args.runs):
            for size in sizes:
                data = frames(args.payloads, size)
                # Alternate which path goes first, so that neither always
                # meets a cold cache or a busy neighbour.
                if run % 2 == 0:
                    k = bench.through_kavro(size, data, run)
                    r = bench.through_relay(size, data, run)
                else:
                    r = bench.through_relay(size, data, run)
                    k = bench.through_kavro(size, data, run)
                ratio = r.seconds / k.seconds
                ratios[size].append(ratio)
                bad["kavro"] += k.bad()
                bad["relay"] += r.bad()
                dropped += k.dropped
                print("run %2d %5d B: kavro %7.3f s %8.0f/s  relay %7.3f s %8.0f/s  ratio %5.2f  "
                      "kavro lost %d dup %d reord %d bad %d  relay lost %d" %
                      (run + 1, size, k.seconds, args.payloads / k.seconds, r.seconds, args.payloads / r.seconds,
                       ratio, k.lost, k.duplicated, k.reordered, k.malformed, r.lost))
                sys.stdout.flush()
    finally:
        bench.close()
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    for size in sizes:
        v = ratios[size]
        print("%5d B: ratio (relay time / kavro time) median %.2f  min %.2f  max %.2f  over %d runs" %
              (size, statistics.median(v), min(v), max(v), len(v)))
    print("payloads lost, duplicated, reordered or malformed: kavro %d, relay %d; clients dropped by kavro: %d" %
          (bad["kavro"], bad["relay"], dropped))
    return 1 if bad["kavro"] or dropped else 0


if __name__ == "__main__":
    sys.exit(main())
