"""What the Linux and the Wine end-to-end harnesses share: the link
protocol as the PBX end speaks it (frames, their checks, a peer on a
pseudo-terminal), waiting with a deadline, scratch directories that go
away with the test, stopping the processes a test started (by the process
it holds, never by name), kavro-pbx started for a test, and reading what a
run of kavro leaves behind (its trace log and the recording library's
records)."""

import os
import pty
import select
import shutil
import subprocess
import tempfile
import time
import tty

SYN = 0x16
RR, RNR, REJ, PF = 0x01, 0x05, 0x09, 0x10
DM, START, DISC, UA, FRMR = 0x0F, 0x3F, 0x53, 0x73, 0x83


# -- waiting -----------------------------------------------------------------

def wait_for(condition, what, timeout=10.0, interval=0.01):
    """Polls `condition` until it holds; fails naming `what` at the deadline."""
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


# -- files and processes -----------------------------------------------------

def scratch_dir(test, prefix):
    """A temporary directory removed when `test` ends."""
    directory = tempfile.mkdtemp(prefix=prefix)
    test.addCleanup(shutil.rmtree, directory, True)
    return directory


def stop_process(proc):
    """Kills `proc` (the one process this Popen started) if it still runs,
    reaps it and closes its pipes."""
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream:
            try:
                stream.close()
            except OSError:
                pass


def start_pbx_process(test, args, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE):
    """Starts kavro-pbx (`args`, the binary first), stopped when `test` ends;
    returns the process and the first line it prints (the device path with
    --print-path-only, or the TCP port)."""
    pbx = subprocess.Popen(list(args), stdin=stdin, stdout=subprocess.PIPE, stderr=stderr)
    test.addCleanup(stop_process, pbx)
    return pbx, pbx.stdout.readline().decode().strip()


def start_pbx_on_pty(test, binary, *args, stderr=subprocess.PIPE):
    """kavro-pbx on a pseudo-terminal of its own; returns it and the device."""
    pbx, path = start_pbx_process(test, [binary, "--print-path-only"] + list(args), stderr=stderr)
    test.assertTrue(path.startswith("/dev/"), path)
    return pbx, path


# -- what a run of kavro leaves behind ---------------------------------------

def read_log(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except FileNotFoundError:
        return ""


def trace_messages(text):
    """Message texts of the trace lines in `text` (time stamp and name removed)."""
    out = []
    for line in text.split("\r\n["):
        idx = line.find("] kavro: ")
        if idx >= 0:
            out.append(line[idx + len("] kavro: "):].rstrip("\r\n"))
    return out


def read_records(path):
    """The records the recording library wrote, one a line."""
    try:
        with open(path) as f:
            return [line.strip() for line in f if line.strip()]
    except FileNotFoundError:
        return []


class TracedRun:
    """One run of kavro: `proc`, `log_path` (its trace log) and `record_path`
    (the recording library's file) are set by the harness that starts it."""

    NAME = "kavro"
    EXIT_TIMEOUT = 10.0
    WAIT_TIMEOUT = 5.0
    INTERVAL = 0.01

    def kill(self):
        stop_process(self.proc)

    def wait_exit(self, timeout=None):
        timeout = self.EXIT_TIMEOUT if timeout is None else timeout
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s did not end within %.1fs; log:\n%s" % (self.NAME, timeout, self.log()))

    def log(self):
        return read_log(self.log_path)

    def log_messages(self):
        """Message texts of the trace lines (time stamp and name removed)."""
        return trace_messages(self.log())

    def wait_log(self, text, timeout=None):
        end = time.monotonic() + (self.WAIT_TIMEOUT if timeout is None else timeout)
        while not any(text in m for m in self.log_messages()):
            if time.monotonic() > end:
                raise AssertionError("no trace line %r; log:\n%s" % (text, self.log()))
            time.sleep(self.INTERVAL)

    def records(self):
        return read_records(self.record_path)

    def wait_record(self, record, timeout=None):
        end = time.monotonic() + (self.WAIT_TIMEOUT if timeout is None else timeout)
        while record not in self.records():
            if time.monotonic() > end:
                raise AssertionError("no record %r; have %r" % (record, self.records()))
            time.sleep(self.INTERVAL)


# -- the link protocol, PBX side ---------------------------------------------

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
