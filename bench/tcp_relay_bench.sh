#!/bin/sh
# Payload throughput of a TCP link: a PBX-side sender on loopback writes N
# tagged frames of L payload bytes as fast as the socket takes them; kavro
# cuts them out and hands them to the default companion library, and a
# `kavroctl listen` client prints them. For scale, the same bytes are then
# relayed by socat from a TCP listener to a Unix socket read by a sink.
#
#   bench/tcp_relay_bench.sh [N [L]]      (defaults: 20000 payloads of 256 bytes)
#
# The sender keeps at most WINDOW (default 64) payloads in flight (see Window).
#
# KAVRO_BUILD_DIR names the build tree (default: build). Needs python3, socat.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
export KAVRO_BUILD_DIR="${KAVRO_BUILD_DIR:-$here/../build}"
exec python3 - "${1:-20000}" "${2:-256}" <<'PY'
import os, shutil, socket, subprocess, sys, tempfile, threading, time

n, size = int(sys.argv[1]), int(sys.argv[2])
build = os.environ["KAVRO_BUILD_DIR"]
payload = bytes(i & 0xFF for i in range(size))
frame = bytes([0xC5, size >> 8, size & 0xFF]) + payload
WINDOW = int(os.environ.get("WINDOW", "64"))
tmp = tempfile.mkdtemp(prefix="kavro-bench-")

class Window:
    """Sends the N frames from a thread of its own, keeping at most WINDOW
    payloads ahead of what the reader has counted: the companion library
    holds the link back to the pace of a client that falls behind, so an
    unpaced burst would measure kavroctl's printing rather than the link,
    and a reader that is also the sender would deadlock once the buffers
    fill. delivery_bench.py measures the unpaced burst against a C relay."""

    def __init__(self, conn):
        self.conn, self.done, self.cond = conn, 0, threading.Condition()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        sent = 0
        while sent < n:
            with self.cond:
                self.cond.wait_for(lambda: sent - self.done < WINDOW)
                k = min(WINDOW - (sent - self.done), n - sent)
            self.conn.sendall(frame * k)
            sent += k

    def count(self, payloads):
        with self.cond:
            self.done = payloads
            self.cond.notify()


def report(name, seconds):
    print("%-34s %8.3f s  %10.0f payloads/s  %8.2f MB/s payload" %
          (name, seconds, n / seconds, n * size / seconds / 1e6))

def through_kavro():
    srv = socket.socket(); srv.bind(("127.0.0.1", 0)); srv.listen(1)
    reg = os.path.join(tmp, "kavro.reg")
    with open(reg, "w") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
                '"Link"="TCP"\r\n"TapiSvrIpAddr"="127.0.0.1"\r\n'
                '"TapiSvrIpPort"=dword:%08x\r\n"Keepalive"=dword:00000000\r\n' % srv.getsockname()[1])
    run, logs = os.path.join(tmp, "run"), os.path.join(tmp, "log")
    os.makedirs(logs)
    kavro = subprocess.Popen([os.path.join(build, "kavro"), "--registry", reg, "--run-dir", run,
                              "--log-dir", logs], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        srv.settimeout(10)
        conn, _ = srv.accept()
        listen = subprocess.Popen([os.path.join(build, "kavroctl"), "--run-dir", run, "listen"],
                                  stdout=subprocess.PIPE)
        # The link-established record waits for the first client: once it is
        # printed, the listener is connected and nothing will be missed.
        listen.stdout.readline()
        start = time.monotonic()
        window = Window(conn)
        got = 0
        out = listen.stdout.raw
        while got < n:
            chunk = out.read(1 << 20)
            if not chunk:
                raise SystemExit("kavroctl listen ended after %d payloads" % got)
            # "payload" never occurs inside the hex digits.
            got += chunk.count(b"payload")
            window.count(got)
        elapsed = time.monotonic() - start
        listen.kill(); listen.wait()
        conn.close()
        return elapsed
    finally:
        if kavro.poll() is None:
            kavro.kill()
        kavro.wait()

def through_socat():
    sink_path = os.path.join(tmp, "sink.sock")
    sink = socket.socket(socket.AF_UNIX); sink.bind(sink_path); sink.listen(1)
    probe = socket.socket(); probe.bind(("127.0.0.1", 0)); port = probe.getsockname()[1]; probe.close()
    relay = subprocess.Popen(["socat", "-u", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port,
                              "UNIX-CONNECT:" + sink_path], stderr=subprocess.DEVNULL)
    try:
        for _ in range(500):
            try:
                conn = socket.create_connection(("127.0.0.1", port)); break
            except OSError:
                time.sleep(0.01)
        peer, _ = sink.accept()
        start = time.monotonic()
        window = Window(conn)
        got = 0
        while got < n * len(frame):
            data = peer.recv(1 << 20)
            if not data:
                break
            got += len(data)
            window.count(got // len(frame))
        elapsed = time.monotonic() - start
        conn.close(); peer.close()
        return elapsed
    finally:
        relay.kill(); relay.wait()

try:
    print("%d payloads of %d bytes over loopback, at most %d in flight" % (n, size, WINDOW))
    report("TCP -> kavro -> kavroctl listen", through_kavro())
    report("TCP -> socat -> Unix socket", through_socat())
finally:
    shutil.rmtree(tmp, True)
PY
