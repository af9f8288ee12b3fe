#!/usr/bin/env python3
"""Pipe delivery of the Windows program under Wine against a minimal pipe relay, in the same run.

A PBX side on loopback writes N tagged frames of L payload bytes as fast as
TCP takes them. Path 1: the real kavro.exe on a TCP link cuts them out and
hands them to the real KAVROD32.dll, which serves them on \\\\.\\pipe\\kavrod.
Path 2: pipe_relay.exe, one thread that cuts the same frames and writes each
payload as one record with one blocking WriteFile on a message pipe of its
own. The same client, pipe_sink.exe (read as the documentation's sample
client reads: one ReadFile a message), reads either pipe as fast as it can
and checks the number in every payload: no loss, no duplicate, no
reordering. For kavro.exe it reads as a plain client, and as one that asks
for batches (several records a message).

The time of a path runs from the first byte written by the PBX side until
the client says it has the last payload. The ratio is relay time / kavro
time: above 1, kavro is faster. Both paths run back to back in every run.

Run from the top of the tree after scripts/test-windows.sh has built
build-win32 and its Wine prefix (or with WINEPREFIX set to a booted one):

    cmake --build build-win32 --target kavro kavrod32 pipe_relay pipe_sink
    python3 bench/pipe_bench.py [--payloads N] [--sizes 16,1024] [--runs R]
"""

import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE = "/usr/lib/wine/wine"
KEY = r"HKLM\Software\Tovik\Tovik TK-Anlage"


def frames(n, size):
    return b"".join(b"\xC5" + size.to_bytes(2, "big") + struct.pack("<I", i) + bytes([i & 0xFF]) * (size - 4)
                    for i in range(n))


class Pbx:
    """A loopback listener that takes one connection and writes the frames
    when told to."""

    def __init__(self, data):
        self.data = data
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.connection = None
        self.accepted = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        self.connection, _ = self.listener.accept()
        self.accepted.set()

    def send(self):
        if not self.accepted.wait(30):
            raise RuntimeError("nobody connected to the PBX side")
        self.connection.sendall(self.data)

    def close(self):
        if self.connection:
            self.connection.close()
        self.listener.close()


def run_path(build, env, data, n, size, path, batch=False):
    pbx = Pbx(data)
    server = None
    try:
        if path == "relay":
            pipe = "\\\\.\\pipe\\kavro-bench-relay"
            server = subprocess.Popen([WINE, os.path.join(build, "bench", "pipe_relay.exe"), "127.0.0.1",
                                       str(pbx.port), pipe], env=env, stdout=subprocess.DEVNULL)
        else:
            pipe = "\\\\.\\pipe\\kavrod"
            for name, kind, value in (("Link", "REG_SZ", "TCP"), ("TapiSvrIpAddr", "REG_SZ", "127.0.0.1"),
                                      ("TapiSvrIpPort", "REG_DWORD", str(pbx.port)),
                                      ("Keepalive", "REG_DWORD", "0")):
                subprocess.run([WINE, "reg", "add", KEY, "/v", name, "/t", kind, "/d", value, "/f", "/reg:32"],
                               env=env, check=True, capture_output=True)
            server = subprocess.Popen([WINE, os.path.join(build, "kavro.exe")], env=env, cwd=build,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            pbx.accepted.wait(30)
        sink = subprocess.Popen([WINE, os.path.join(build, "bench", "pipe_sink.exe"), pipe, str(n), str(size)] +
                                (["batch"] if batch else []), env=env, stdout=subprocess.PIPE)
        if sink.stdout.readline().strip() != b"ready":
            raise RuntimeError("the client did not connect (%s)" % path)
        started = time.monotonic()
        pbx.send()
        line = sink.stdout.readline().decode()
        elapsed = time.monotonic() - started
        sink.wait(30)
        fields = line.split()
        values = dict(zip(fields[0::2], (int(v) for v in fields[1::2])))
        return elapsed, values
    finally:
        pbx.close()
        if server is not None:
            if path != "relay":
                subprocess.run([WINE, os.path.join(build, "kavroctl.exe"), "close"], env=env, capture_output=True)
            try:
                server.wait(30)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--payloads", type=int, default=10000)
    parser.add_argument("--sizes", default="16,1024")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--build", default=os.path.join(ROOT, "build-win32"))
    args = parser.parse_args()
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", os.path.join(args.build, "wine-prefix"))
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    failed = False
    for size in (int(s) for s in args.sizes.split(",")):
        data = frames(args.payloads, size)
        times = {"relay": [], "plain": [], "batch": []}
        for run in range(args.runs):
            order = ["relay", "plain", "batch"] if run % 2 == 0 else ["batch", "plain", "relay"]
            for path in order:
                elapsed, values = run_path(args.build, env, data, args.payloads, size,
                                           "relay" if path == "relay" else "kavro", batch=path == "batch")
                bad = {k: v for k, v in values.items() if k != "received" and v}
                if bad or values.get("received") != args.payloads:
                    print("%s, %d B: %r" % (path, size, values))
                    failed = failed or path != "relay"
                times[path].append(elapsed)
        relay = statistics.median(times["relay"])
        print("%5d B x %d: relay %.0f records/s" % (size, args.payloads, args.payloads / relay))
        for path in ("plain", "batch"):
            median = statistics.median(times[path])
            print("        kavro %-5s %.0f records/s, ratio %.2f (runs: %s)" % (
                path, args.payloads / median, relay / median,
                ", ".join("%.2f" % (r / k) for r, k in zip(times["relay"], times[path]))))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
