#!/usr/bin/env python3
"""PBX-to-subscriber rate and latency through kavro-mqtt, against a floor.

A PBX side on loopback writes N tagged TCP frames of 16 payload bytes (a
number and the monotonic time of writing). Path 1: the real kavro with the
default companion library, kavro-mqtt (acknowledged client, on-disk spool,
QoS 1) and mosquitto. Path 2, the floor: mqtt_floor, which cuts the same
frames and publishes each payload at QoS 1 with the same MQTT library, user
properties and window, and nothing else. The same subscriber (mosquitto_sub,
QoS 1) reads either path; every number must arrive (repeats are counted).

- rate: a burst of N frames written at once; records per second from the
  first byte written to the last record read;
- latency: --paced frames written one by one at --pace per second; the time
  from writing a frame to reading its record, median and p99.

    cmake --build build --target kavro kavrod kavro-mqtt mqtt_floor
    python3 bench/mqtt_bench.py [--payloads N] [--paced N] [--pace R] [--runs R]
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


def frame(i):
    payload = struct.pack(">IQ", i, time.monotonic_ns()) + bytes(4)
    return b"\xC5" + len(payload).to_bytes(2, "big") + payload


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Subscriber:
    """mosquitto_sub printing each payload in hex; lines timed as read."""

    def __init__(self, port, topic):
        self.proc = subprocess.Popen(["mosquitto_sub", "-p", str(port), "-h", "127.0.0.1", "-V", "5", "-q", "1",
                                      "-t", topic, "-F", "%x"], stdout=subprocess.PIPE, bufsize=1 << 16)
        self.got = []  # (number, written_ns, read_ns)
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()
        time.sleep(0.5)

    def read(self):
        for line in self.proc.stdout:
            now = time.monotonic_ns()
            raw = bytes.fromhex(line.decode().strip())
            if len(raw) >= 12:
                number, written = struct.unpack(">IQ", raw[:12])
                self.got.append((number, written, now))

    def wait(self, n, timeout):
        end = time.monotonic() + timeout
        while len({g[0] for g in self.got}) < n and time.monotonic() < end:
            time.sleep(0.01)
        return list(self.got)

    def stop(self):
        self.proc.kill()
        self.proc.wait()


class Path:
    """One way from the PBX side to the broker: kavro with the bridge, or the floor."""

    def __init__(self, build, work, broker_port, bridge):
        self.procs = []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        port = self.listener.getsockname()[1]
        self.topic = "bench/%s" % ("bridge" if bridge else "floor")
        if bridge:
            run = os.path.join(work, "run")
            reg = os.path.join(work, "kavro.reg")
            with open(reg, "w") as f:
                f.write(REGISTRY % port)
            self.start([os.path.join(build, "kavro"), "--registry", reg, "--run-dir", run, "--log-dir",
                        os.path.join(work, "nolog"), "--delivery-library", os.path.join(build, "libkavrod.so.1"),
                        "-q"])
            self.conn, _ = self.listener.accept()
            bridge_proc = self.start([os.path.join(build, "kavro-mqtt"), "--config", "/dev/null", "--run-dir", run,
                                      "--spool-dir", os.path.join(work, "spool"), "--topic-prefix", "bench",
                                      "--broker", "mqtt://127.0.0.1:%d" % broker_port, "bridge"],
                                     stderr=subprocess.PIPE, text=True)
            for line in bridge_proc.stderr:
                if "taking the records" in line:
                    break
            threading.Thread(target=lambda: bridge_proc.stderr.read(), daemon=True).start()
            self.topic = "bench/rx"
        else:
            floor = self.start([os.path.join(build, "bench", "mqtt_floor"), str(port), str(broker_port), self.topic],
                               stderr=subprocess.DEVNULL)
            self.conn, _ = self.listener.accept()
        self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        time.sleep(0.3)

    def start(self, args, **kw):
        p = subprocess.Popen(args, stdout=subprocess.DEVNULL, **({"stderr": subprocess.DEVNULL} | kw))
        self.procs.append(p)
        return p

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.conn.close()
        self.listener.close()


def measure(build, broker_port, bridge, n, paced, pace):
    work = tempfile.mkdtemp(prefix="mqtt-bench-")
    path = Path(build, work, broker_port, bridge)
    sub = Subscriber(broker_port, path.topic)
    try:
        start = time.monotonic_ns()
        path.conn.sendall(b"".join(frame(i) for i in range(n)))
        got = sub.wait(n, 120)
        numbers = [g[0] for g in got]
        burst_lost = n - len(set(numbers) & set(range(n)))
        rate = n / ((max(g[2] for g in got) - start) / 1e9) if got else 0.0
        # Paced: one frame at a time, numbered after the burst.
        for i in range(n, n + paced):
            path.conn.sendall(frame(i))
            time.sleep(1.0 / pace)
        got = sub.wait(n + paced, 60)
        first = {}
        for number, written, read in got:
            if number >= n and number not in first:
                first[number] = (read - written) / 1e6
        latencies = sorted(first.values())
        lost = burst_lost + paced - len(first)
        repeats = len(got) - len(set(g[0] for g in got))
        return rate, latencies, lost, repeats
    finally:
        sub.stop()
        path.close()
        shutil.rmtree(work, True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--payloads", type=int, default=20000)
    ap.add_argument("--paced", type=int, default=2000)
    ap.add_argument("--pace", type=float, default=1000.0)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    for tool in ("mosquitto", "mosquitto_sub"):
        if not shutil.which(tool):
            sys.exit("mqtt_bench: needs %s (Debian: mosquitto, mosquitto-clients)" % tool)
    work = tempfile.mkdtemp(prefix="mqtt-bench-broker-")
    port = free_port()
    conf = os.path.join(work, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write("user root\nallow_anonymous true\nmax_queued_messages 0\nlistener %d 127.0.0.1\n" % port)
    broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    results = {"bridge": [], "floor": []}
    try:
        for run in range(args.runs):
            # Alternate the order, so a busy moment of a shared machine hits both.
            order = ["bridge", "floor"] if run % 2 == 0 else ["floor", "bridge"]
            for name in order:
                r = measure(args.build, port, name == "bridge", args.payloads, args.paced, args.pace)
                results[name].append(r)
                print("run %d %-6s %8.0f records/s  latency median %.2f ms p99 %.2f ms  lost %d  repeats %d" %
                      (run + 1, name, r[0], statistics.median(r[1]) if r[1] else float("nan"),
                       r[1][int(len(r[1]) * 0.99) - 1] if r[1] else float("nan"), r[2], r[3]), flush=True)
    finally:
        broker.terminate()
        broker.wait()
        shutil.rmtree(work, True)
    summary = {}
    for name, rs in results.items():
        lat = sorted(l for r in rs for l in r[1])
        summary[name] = (statistics.median(r[0] for r in rs), statistics.median(lat),
                         lat[int(len(lat) * 0.99) - 1], sum(r[2] for r in rs))
        print("%-6s median rate %8.0f records/s  latency median %.2f ms p99 %.2f ms  lost %d" % ((name,) + summary[name]))
    print("bridge / floor rate: %.2f" % (summary["bridge"][0] / summary["floor"][0]))
    return 1 if summary["bridge"][3] or summary["floor"][3] else 0


if __name__ == "__main__":
    sys.exit(main())
