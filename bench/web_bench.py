#!/usr/bin/python3
"""kavro-web under load: its CPU at a steady rate of records, the memory of
the server and of the page in Chromium over a long run, and what it adds to
kavro.

A PBX side on loopback writes TCP frames at --rate records per second (in
10 ms ticks) to the real kavro with the default companion library; a plain
client (kavroctl listen) takes the records, as a bridge would. Phase 1 runs
without kavro-web, phase 2 with kavro-web and its page open, logged in, in
headless Chromium. Reported: kavro's CPU in both phases, kavro-web's CPU
(percent of one core), how busy the page's main thread was (DevTools'
TaskDuration), kavro-web's resident memory and the page's JavaScript
heap and DOM nodes every --every seconds, and how far behind the page's
newest record was at the end.

    cmake --build build --target kavro kavrod kavroctl kavro-web
    /usr/bin/python3 bench/web_bench.py [--rate 1000] [--seconds 60] [--every 10]
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "common"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))

REGISTRY = ("Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
            '"Link"="TCP"\r\n"TapiSvrIpAddr"="127.0.0.1"\r\n'
            '"TapiSvrIpPort"=dword:%08x\r\n"Keepalive"=dword:00000000\r\n')
TICK = os.sysconf("SC_CLK_TCK")


def frame(i):
    payload = b"CDR %010d 201>0042" % i
    return b"\xC5" + len(payload).to_bytes(2, "big") + payload


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Feeder:
    """Writes frames at `rate` per second, a tick's worth every 10 ms."""

    def __init__(self, conn, rate):
        self.conn, self.rate, self.sent = conn, rate, 0
        self.start = time.monotonic()

    def run_for(self, seconds, on_tick=None):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            due = int((time.monotonic() - self.start) * self.rate)
            if due > self.sent:
                self.conn.sendall(b"".join(frame(i) for i in range(self.sent, due)))
                self.sent = due
            if on_tick:
                on_tick()
            time.sleep(0.01)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--rate", type=int, default=1000)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--every", type=int, default=10)
    parser.add_argument("--screenshot", help="save the page as PNG at the end")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="kavro-web-bench-")
    procs = []

    def start(argv, **kw):
        p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, **({"stderr": subprocess.DEVNULL} | kw))
        procs.append(p)
        return p

    class Test:  # what browser.Browser expects of a test case
        cleanups = []

        def addCleanup(self, f, *a):
            self.cleanups.append((f, a))

    test = Test()
    try:
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        reg = os.path.join(work, "kavro.reg")
        with open(reg, "w") as f:
            f.write(REGISTRY % listener.getsockname()[1])
        run = os.path.join(work, "run")
        kavro = start([os.path.join(build, "kavro"), "--registry", reg, "--run-dir", run, "--log-dir",
                       os.path.join(work, "nolog"), "--delivery-library", os.path.join(build, "libkavrod.so.1"),
                       "-q"])
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        start([os.path.join(build, "kavroctl"), "--run-dir", run, "listen"])
        feeder = Feeder(conn, args.rate)
        feeder.run_for(3)

        phase = max(10, args.seconds // 3)
        c0, t0 = cpu_seconds(kavro.pid), time.monotonic()
        feeder.run_for(phase)
        kavro_alone = (cpu_seconds(kavro.pid) - c0) / (time.monotonic() - t0) * 100

        password = os.path.join(work, "password")
        with open(password, "w") as f:
            f.write("bench\n")
        os.chmod(password, 0o600)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        web = start([os.path.join(build, "kavro-web"), "--config", os.devnull, "--run-dir", run, "--listen",
                     "127.0.0.1:%d" % port, "--user", "bench", "--password-file", password, "--page-dir",
                     os.path.join(HERE, "..", "tools", "kavro-web", "page"), "bench"])
        from browser import Browser
        from harness_common import wait_for
        wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0, "kavro-web", 10)
        browser = Browser(test)
        browser.open("http://127.0.0.1:%d/" % port)
        browser.wait("!document.getElementById('login').hidden", "the login form")
        browser.run("document.getElementById('login-user').value = 'bench';"
                    "document.getElementById('login-password').value = 'bench';"
                    "document.getElementById('login-submit').click(); true")
        browser.wait("document.getElementById('f-state').textContent === 'established'", "the page")
        feeder.run_for(3)

        print("rate %d records/s, %d s with kavro-web and the page open" % (args.rate, args.seconds))
        print("%8s %14s %14s %12s %10s" % ("time s", "web CPU %", "web RSS KiB", "page heap MiB", "DOM nodes"))
        c0, k0, t0 = cpu_seconds(web.pid), cpu_seconds(kavro.pid), time.monotonic()
        busy0 = browser.heap_bytes()["TaskDuration"]
        last = [t0, c0]
        samples = []

        def report():
            now = time.monotonic()
            if now - last[0] < args.every:
                return
            cpu = cpu_seconds(web.pid)
            metrics = browser.heap_bytes()
            row = (now - t0, (cpu - last[1]) / (now - last[0]) * 100, rss_kib(web.pid),
                   metrics["JSHeapUsedSize"] / 2**20, metrics["Nodes"])
            samples.append(row)
            print("%8.0f %14.2f %14d %12.2f %10d" % row, flush=True)
            last[:] = [now, cpu]

        feeder.run_for(args.seconds, report)
        elapsed = time.monotonic() - t0
        web_cpu = (cpu_seconds(web.pid) - c0) / elapsed * 100
        kavro_with = (cpu_seconds(kavro.pid) - k0) / elapsed * 100
        page_busy = (browser.heap_bytes()["TaskDuration"] - busy0) / elapsed * 100
        newest = b"CDR %010d" % (feeder.sent - 1)
        t_last = time.monotonic()
        browser.wait("document.querySelector('#records-body .row span:nth-child(5)').textContent.startsWith(%r)"
                     % newest.decode(), "the newest record on the page", 10)
        lag = time.monotonic() - t_last
        if args.screenshot:
            browser.screenshot(os.path.abspath(args.screenshot))
        print("kavro-web CPU over the run: %.2f %% of a core" % web_cpu)
        print("the page's main thread busy: %.2f %% of the time" % page_busy)
        print("kavro CPU without kavro-web: %.2f %%, with it: %.2f %%" % (kavro_alone, kavro_with))
        print("kavro-web RSS first/last: %d / %d KiB; page heap first/last: %.2f / %.2f MiB"
              % (samples[0][2], samples[-1][2], samples[0][3], samples[-1][3]) if samples else "")
        print("the page showed the last record %.2f s after it was written" % lag)
    finally:
        for f, a in reversed(test.cleanups):
            try:
                f(*a)
            except Exception:
                pass
        for p in reversed(procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(work, True)


if __name__ == "__main__":
    main()
