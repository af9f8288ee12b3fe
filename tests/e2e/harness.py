"""Shared machinery of the end-to-end tests: the real kavro binary on a real
pseudo-terminal (or loopback TCP), the real control socket, a recording or
the default companion library, and a scripted PBX peer that speaks the link
protocol byte for byte."""

import os
import pty
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import termios
import time
import tty
import unittest

BUILD = os.environ.get("KAVRO_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
KAVRO = os.environ.get("KAVRO_BIN", os.path.join(BUILD, "kavro"))
KAVROCTL = os.environ.get("KAVROCTL_BIN", os.path.join(BUILD, "kavroctl"))
KAVRO_PBX = os.environ.get("KAVRO_PBX_BIN", os.path.join(BUILD, "kavro-pbx"))
RECORDER = os.environ.get("KAVRO_RECORDER_LIB", os.path.join(BUILD, "tests", "recorder", "libkavro_recorder.so"))

SYN = 0x16
RR, RNR, REJ, PF = 0x01, 0x05, 0x09, 0x10
DM, START, DISC, UA, FRMR = 0x0F, 0x3F, 0x53, 0x73, 0x83
REGISTRY_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Tovik\Tovik TK-Anlage"


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def s_frame(code, nr, dest=0):
    body = bytes([(code | (nr << 5)) & 0xFF, dest])
    c = crc16(body)
    return bytes([SYN, SYN]) + body + bytes([c >> 8, c & 0xFF])


def u_frame(code, dest=0):
    body = bytes([code, dest])
    c = crc16(body)
    return bytes([SYN, SYN]) + body + bytes([c >> 8, c & 0xFF])


def i_frame(ns, nr, payload, dest=0):
    head = bytes([((nr << 5) | ((ns & 7) << 1)) & 0xFF, dest, len(payload) >> 8, len(payload) & 0xFF])
    hc = crc16(head)
    pc = crc16(payload)
    return bytes([SYN, SYN]) + head + bytes([hc >> 8, hc & 0xFF]) + payload + bytes([pc >> 8, pc & 0xFF])


class Frame:
    def __init__(self, kind, code, dest, nr=0, ns=0, payload=b""):
        self.kind, self.code, self.dest, self.nr, self.ns, self.payload = kind, code, dest, nr, ns, payload

    def __repr__(self):
        if self.kind == "I":
            return "I(ns=%d nr=%d dest=%#x %s)" % (self.ns, self.nr, self.dest, self.payload.hex())
        if self.kind == "S":
            return "S(%#x nr=%d dest=%#x)" % (self.code, self.nr, self.dest)
        return "U(%#x)" % self.code


def decode(buf):
    """Cuts the frames out of `buf` (a bytearray, consumed); returns a list of
    Frames and the raw bytes that were not frames (the service request)."""
    frames, raw = [], bytearray()
    while buf:
        if buf[0] != SYN or len(buf) < 2 or buf[1] != SYN:
            if buf[0] == SYN and len(buf) < 2:
                break
            raw.append(buf.pop(0))
            continue
        if len(buf) < 6:
            break
        ctl, dest = buf[2], buf[3]
        if ctl & 1 == 0:
            if len(buf) < 8:
                break
            length = (buf[4] << 8) | buf[5]
            if len(buf) < length + 10:
                break
            assert crc16(bytes(buf[2:8])) == 0, "bad header CRC from kavro"
            assert crc16(bytes(buf[8:10 + length])) == 0, "bad payload CRC from kavro"
            frames.append(Frame("I", 0, dest, ctl >> 5, (ctl >> 1) & 7, bytes(buf[8:8 + length])))
            del buf[:length + 10]
        else:
            assert crc16(bytes(buf[2:6])) == 0, "bad CRC from kavro"
            if ctl & 3 == 1:
                frames.append(Frame("S", ctl & 0x1F, dest, ctl >> 5))
            else:
                frames.append(Frame("U", ctl, dest))
            del buf[:6]
    return frames, bytes(raw)


class PtyPeer:
    """The PBX end of a pseudo-terminal; kavro opens the other end."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.buf = bytearray()
        self.raw = bytearray()
        self.frames = []

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass

    def write(self, data):
        os.write(self.master, data)

    def pump(self, timeout):
        r, _, _ = select.select([self.master], [], [], timeout)
        if not r:
            return False
        try:
            data = os.read(self.master, 65536)
        except OSError:
            return False
        self.buf += data
        frames, raw = decode(self.buf)
        self.frames += frames
        self.raw += raw
        return True

    def wait_raw(self, data, timeout=5.0):
        end = time.monotonic() + timeout
        while data not in self.raw:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r from kavro; raw so far %r" % (data, bytes(self.raw)))
            self.pump(left)
        idx = self.raw.index(data)
        del self.raw[:idx + len(data)]

    def next_frame(self, timeout=5.0):
        end = time.monotonic() + timeout
        while not self.frames:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("no frame from kavro within %.1fs" % timeout)
            self.pump(left)
        return self.frames.pop(0)

    def expect_frame(self, kind, code=None, timeout=5.0):
        f = self.next_frame(timeout)
        if f.kind != kind or (code is not None and f.code != code):
            raise AssertionError("expected %s %s, got %r" % (kind, hex(code) if code is not None else "", f))
        return f

    def quiet(self, seconds):
        """True when kavro sends nothing for `seconds`."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.pump(end - time.monotonic())
            if self.frames:
                return False
        return True

    def handshake(self, rate="9600"):
        """Answers the service request and the START that follows."""
        self.wait_raw(b"\x1b\x43")
        self.write(b"kavro-test PBX\r\n" + ("CTI %s\r" % rate).encode() if rate else b"kavro-test PBX\r\nCTI\r")
        self.expect_frame("U", START)
        self.write(u_frame(UA))


class ControlClient:
    def __init__(self, run_dir):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.sock.settimeout(10)
        try:
            self.sock.connect(os.path.join(run_dir, "KavroControlProg"))
        except OSError:
            self.sock.close()
            raise

    def request(self, message, word=0, data=b""):
        self.sock.send(struct.pack("<II", message, word) + data)
        return struct.unpack("<i", self.sock.recv(16))[0]

    def raw(self, packet):
        self.sock.send(packet)
        return struct.unpack("<i", self.sock.recv(16))[0]

    def send_payload(self, data, address=0):
        return self.request(0x4A, 0x00010000 | address, data)

    def close(self):
        self.sock.close()


class Kavro:
    """One run of the real kavro binary in a temporary run directory."""

    def __init__(self, test, registry_values=None, ports=None, link_args=(), library=None,
                 extra_env=None, registry_text=None, preexec_fn=None, account=None, before_start=None,
                 run_dir=None):
        """`account` (a pwd entry) runs kavro as that account, with its
        temporary directory handed over; `before_start` is called with the
        run, its files in place, just before kavro starts."""
        self.test = test
        self.dir = tempfile.mkdtemp(prefix="kavro-e2e-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        # A run directory of an earlier run: what kavro remembers there.
        self.run_dir = run_dir or os.path.join(self.dir, "run")
        self.log_dir = os.path.join(self.dir, "log")
        os.makedirs(self.log_dir)
        self.log_path = os.path.join(self.log_dir, "kavro.log")
        open(self.log_path, "w").close()
        self.record_path = os.path.join(self.dir, "record.txt")
        self.registry = os.path.join(self.dir, "kavro.reg")
        if registry_text is None:
            lines = ["Windows Registry Editor Version 5.00", "", "[%s]" % REGISTRY_KEY]
            for k, v in (registry_values or {}).items():
                lines.append('"%s"=%s' % (k, v if isinstance(v, str) and v.startswith("dword:") else '"%s"' % v))
            if ports:
                lines += ["", "[%s\\Ports]" % REGISTRY_KEY]
                for k, v in ports.items():
                    lines.append('"%s"="%s"' % (k, v))
            registry_text = "\r\n".join(lines) + "\r\n"
        with open(self.registry, "w") as f:
            f.write(registry_text)
        env = dict(os.environ)
        env["KAVRO_RECORD_FILE"] = self.record_path
        env.update(extra_env or {})
        args = [KAVRO, "--registry", self.registry, "--run-dir", self.run_dir, "--log-dir", self.log_dir]
        lib = RECORDER if library is None else library
        if lib:
            args += ["--delivery-library", lib]
        args += list(link_args)
        if account is not None:
            for root, _, files in os.walk(self.dir):
                for path in [root] + [os.path.join(root, f) for f in files]:
                    os.chown(path, account.pw_uid, account.pw_gid)
            args = ["setpriv", "--reuid", str(account.pw_uid), "--regid", str(account.pw_gid),
                    "--clear-groups", "--"] + args
        if before_start is not None:
            before_start(self)
        self.proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=preexec_fn)
        test.addCleanup(self.kill)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for s in (self.proc.stdout, self.proc.stderr):
            if s:
                s.close()

    def wait_exit(self, timeout=10.0):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("kavro did not end within %.1fs; log:\n%s" % (timeout, self.log()))

    def control(self, timeout=5.0):
        path = os.path.join(self.run_dir, "KavroControlProg")
        end = time.monotonic() + timeout
        while True:
            try:
                client = ControlClient(self.run_dir)
                self.test.addCleanup(client.close)
                return client
            except OSError:
                if time.monotonic() > end or self.proc.poll() is not None:
                    raise AssertionError("control socket %s never came up; log:\n%s" % (path, self.log()))
                time.sleep(0.02)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def log_messages(self):
        """Message texts of the trace lines (time stamp and name removed)."""
        out = []
        for line in self.log().split("\r\n["):
            idx = line.find("] kavro: ")
            if idx >= 0:
                out.append(line[idx + len("] kavro: "):].rstrip("\r\n"))
        return out

    def records(self):
        try:
            with open(self.record_path) as f:
                return [l.strip() for l in f if l.strip()]
        except FileNotFoundError:
            return []

    def wait_record(self, record, timeout=5.0):
        end = time.monotonic() + timeout
        while record not in self.records():
            if time.monotonic() > end:
                raise AssertionError("no record %r; have %r" % (record, self.records()))
            time.sleep(0.01)

    def wait_log(self, text, timeout=5.0):
        end = time.monotonic() + timeout
        while not any(text in m for m in self.log_messages()):
            if time.monotonic() > end:
                raise AssertionError("no trace line %r; log:\n%s" % (text, self.log()))
            time.sleep(0.01)


def require_binaries(*paths):
    missing = [p for p in paths if not os.path.exists(p)]
    if missing:
        raise unittest.SkipTest("not built: %s" % ", ".join(missing))
