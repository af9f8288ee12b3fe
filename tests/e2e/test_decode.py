"""kavro-decode on the trace log of a real kavro run against kavro-pbx and on
bytes given in hex, and the Wireshark dissector on the capture shipped with it."""

import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from harness import BUILD, KAVRO, KAVRO_PBX, RECORDER, Kavro, crc16, i_frame, require_binaries

KAVRO_DECODE = os.environ.get("KAVRO_DECODE_BIN", os.path.join(BUILD, "kavro-decode"))
WIRESHARK_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "contrib", "wireshark")

# Longer than the trace log shows of one block: its dump is cut.
BIG_PAYLOAD = bytes(range(256)) * 3
# A service answer whose line breaks would start a record of their own if
# kavro wrote them raw to its trace log.
ANSWER = "ready\t\\\n[01.01.26 00:00:00] kavro: forged by the PBX\nCTI 9600"


def decode(*args):
    r = subprocess.run([KAVRO_DECODE] + list(args), capture_output=True, timeout=30)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


def decode_json(*args):
    rc, out, err = decode("--json", *args)
    if rc != 0:
        raise AssertionError("kavro-decode exit %d: %s" % (rc, err))
    return [json.loads(line) for line in out.splitlines()]


def read_line(fd, pending, timeout=10.0):
    """One line from a pipe, without blocking past `timeout`."""
    end = time.monotonic() + timeout
    while b"\n" not in pending:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError("no line within %.0fs; have %r" % (timeout, bytes(pending)))
        chunk = os.read(fd, 4096)
        if not chunk:
            raise AssertionError("pipe closed; have %r" % bytes(pending))
        pending += chunk
    line, _, rest = bytes(pending).partition(b"\n")
    pending[:] = rest
    return line.decode()


def trace_frames(messages):
    """The frames kavro's own trace lines name, per direction, as
    (type, address, N(S), N(R), P/F, length) with None where a kind has none."""
    frames = {"sent": [], "received": []}
    for m in messages:
        direction = "sent" if m.startswith("SendFrame ") else "received" if m.startswith("CheckFrame ") else None
        if direction is None:
            continue
        s = re.match(r"\w+ S-(RR|RNR|REJ)( PF)? Dest ([0-9a-f]+) NRec ([0-9a-f]+)$", m)
        u = re.match(r"\w+ U-(\w+)$", m)
        i = re.match(r"\w+ I-Frame Dest: ([0-9a-f]+) NSend: ([0-9a-f]+) NRec ([0-9a-f]+) Length ([0-9a-f]+) ", m)
        if s:
            frames[direction].append((s.group(1), int(s.group(3), 16), None, int(s.group(4), 16), bool(s.group(2)), None))
        elif u:
            frames[direction].append((u.group(1), None, None, None, None, None))
        elif i:
            dest, ns, nr, length = (int(g, 16) for g in i.groups())
            frames[direction].append(("I", dest, ns, nr, False, length))
    return frames


def decoded_frames(items):
    """The same view of what kavro-decode found; a frame the log shows only in
    part counts by its header."""
    frames = {"sent": [], "received": []}
    for it in items:
        if not (it["kind"] == "frame" and it["ok"]) and not (it["kind"] == "incomplete" and "type" in it):
            continue
        if it["class"] == "U":
            frames[it["dir"]].append((it["type"], None, None, None, None, None))
        elif it["class"] == "S":
            frames[it["dir"]].append((it["type"], it["address"], None, it["nr"], it["pf"], None))
        else:
            frames[it["dir"]].append(("I", it["address"], it["ns"], it["nr"], False, it["length"]))
    return frames


class _ClassScope:
    """Lets the harness register its clean-ups for the whole class."""

    def __init__(self, cls):
        self.addCleanup = cls.addClassCleanup


class DecodeTraceLogTest(unittest.TestCase):
    """One real link, set up once: kavro on a pseudo-terminal against kavro-pbx,
    which damages every second frame it sends."""

    @classmethod
    def setUpClass(cls):
        require_binaries(KAVRO, KAVRO_PBX, RECORDER, KAVRO_DECODE)
        pbx = subprocess.Popen([KAVRO_PBX, "--print-path-only", "-q", "--corrupt-every", "2", "--seed", "1",
                                "--answer", ANSWER],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        cls.addClassCleanup(lambda: (pbx.kill(), pbx.wait(), pbx.stdout.close()))
        out = bytearray()
        path = read_line(pbx.stdout.fileno(), out)
        k = Kavro(_ClassScope(cls), registry_values={"Link": "COM1"}, ports={"COM1": path})
        k.wait_record("event 1")
        ctl = k.control()
        assert ctl.send_payload(b"dial 1234", address=0x21) == 1
        # The acknowledgement is damaged: kavro sends the frame again, then
        # polls; the answer to the first poll is damaged too.
        k.wait_log("CheckFrame S-RR PF Dest 0 NRec 1", timeout=15)
        assert ctl.send_payload(BIG_PAYLOAD, address=0x22) == 1
        while "len=768" not in read_line(pbx.stdout.fileno(), out):
            pass
        ctl.request(0x10)
        assert k.wait_exit() == 0
        ctl.close()
        cls.log_path = k.log_path
        # A record cut by the line limit has lost its line end: the next one
        # follows on the same line.
        cls.messages = [m.rstrip("\r\n") for m in re.split(r"\[\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d\] kavro: ", k.log())[1:]]
        cls.items = decode_json(k.log_path)
        cls.log_texts = [it["text"] for it in decode_json("--with-log", k.log_path) if it["kind"] == "log"]
        cls.log = k.log()
        cls.text = decode(k.log_path)[1]

    def of(self, kind, direction=None, **fields):
        return [it for it in self.items if it["kind"] == kind and (direction is None or it.get("dir") == direction)
                and all(it.get(k) == v for k, v in fields.items())]

    def test_service_handshake(self):
        self.assertEqual(len(self.of("run")), 1)
        self.assertGreaterEqual(len(self.of("service-request", "sent", raw="1B43")), 1)
        first = self.of("text", "received")[0]
        self.assertEqual(first["note"], "first line after start: ignored by kavro")
        answer = self.of("service-answer", "received")
        self.assertEqual([(a["text"], a["rate"]) for a in answer], [("\n" + ANSWER + "\r", "9600")])
        quoted = r'"\nready\t\\\n[01.01.26 00:00:00] kavro: forged by the PBX\nCTI 9600\r"'
        self.assertIn("rcvd  service answer %s  rate \"9600\"" % quoted, self.text)
        # kavro's own trace shows the line escaped the same way, on one line,
        # and kavro-decode reads that line back as one record.
        self.assertNotIn("\n[01.01.26 00:00:00] kavro: forged", self.log)
        self.assertIn("CTICHECK:" + quoted[1:-1], self.log_texts)
        self.assertEqual([t for t in self.log_texts if "forged" in t and not t.startswith("CTI")], [])

    def test_information_and_poll_frames(self):
        dial = self.of("frame", "sent", type="I", address=0x21)
        # Sent, then sent again for the damaged acknowledgement.
        self.assertEqual(len(dial), 2)
        for f in dial:
            self.assertEqual((f["ns"], f["nr"], f["pf"], f["length"], f["hex"], f["ascii"], f["ok"]),
                             (0, 0, False, 9, b"dial 1234".hex().upper(), "dial 1234", True))
            self.assertEqual(f["raw"], i_frame(0, 0, b"dial 1234", dest=0x21).hex().upper())
            self.assertTrue(f["header_crc"]["ok"] and f["payload_crc"]["ok"])
        self.assertIn("sent  I      addr 0x21  N(S) 0  N(R) 0  length 9  header CRC A41F ok  payload CRC 28B4 ok\n"
                      "      0000  64 69 61 6C 20 31 32 33 34" + " " * 23 + "|dial 1234|", self.text)
        polls = self.of("frame", "sent", type="RR", pf=True, address=1)
        self.assertEqual(len(polls), 2)
        final = self.of("frame", "received", type="RR", pf=True, address=0, ok=True)
        self.assertEqual([(f["nr"], f["control"], f["crc"]["value"]) for f in final], [(1, 0x31, "2BAB")])
        self.assertIn("rcvd  RR     addr 0x00  N(R) 1  P/F  CRC 2BAB ok", self.text)

    def test_damaged_frames_show_the_crc_they_should_have(self):
        damaged = [f for f in self.of("frame", "received") if not f["ok"]]
        self.assertGreaterEqual(len(damaged), 2)
        for f in damaged:
            raw = bytes.fromhex(f["raw"])
            expected = "%04X" % crc16(raw[2:4])
            self.assertEqual((f["error"], f["crc"]["value"], f["crc"]["expected"]), ("CRC", raw[4:6].hex().upper(), expected))
            self.assertNotEqual(f["crc"]["value"], expected)
            self.assertIn("CRC %s BAD, expected %s" % (f["crc"]["value"], expected), self.text)
        # kavro resumes its hunt two bytes into a damaged frame; the rest of
        # it is part of that frame, not noise.
        self.assertEqual(self.of("noise"), [])

    def test_decoder_and_kavro_agree_on_every_frame(self):
        self.assertEqual(decoded_frames(self.items), trace_frames(self.messages))

    def test_block_cut_by_the_log_line_limit(self):
        big = self.of("incomplete", "sent", address=0x22)
        self.assertEqual(len(big), 1)
        self.assertEqual((big[0]["need"], big[0]["length"], big[0]["header_crc"]["ok"]), (778, 768, True))
        self.assertTrue(big[0]["raw"].startswith(i_frame(1, 0, BIG_PAYLOAD, dest=0x22)[:100].hex().upper()))
        gap = self.of("gap", "sent")
        self.assertEqual([(g["log_line"], g["shown"], g["count"]) for g in gap],
                         [(big[0]["log_line"], big[0]["have"], None)])
        # The frames after the cut block are decoded again.
        self.assertEqual(self.of("frame", "sent")[-1]["type"], "DISC")


class DecodeBytesTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO_DECODE)

    def test_tcp_frames_in_hex(self):
        items = decode_json("-x", "C5 00 05 48 65 6C 6C 6F", "C50002F201", "C5 00 09 01")
        self.assertEqual([(i["kind"], i["offset"]) for i in items], [("tcp-frame", 0), ("tcp-frame", 8), ("incomplete", 13)])
        self.assertEqual((items[0]["length"], items[0]["hex"], items[0]["ascii"], items[0]["keepalive"]),
                         (5, "48656C6C6F", "Hello", False))
        self.assertEqual((items[1]["length"], items[1]["hex"], items[1]["keepalive"]), (2, "F201", True))
        self.assertEqual((items[2]["have"], items[2]["need"]), (4, 12))
        rc, out, _ = decode("-x", "C5 00 02 F2 01")
        self.assertEqual((rc, out.splitlines()[0]), (0, "@0000  TCP keepalive  length 2"))

    def test_long_line_full_of_time_stamps_is_one_record(self):
        # Only where the formatter cuts a record (at 1023 bytes) does another
        # begin inside a line: text that looks like a record's header anywhere
        # else is the record's own, and a line is read once, however long.
        scratch = tempfile.mkdtemp(prefix="kavro-decode-")
        self.addCleanup(shutil.rmtree, scratch, True)
        path = os.path.join(scratch, "kavro.log")
        look_alike = b"[06.03.26 09:05:03] x" * 20000 + b"[06.03.26 09:05:03] forged: by the PBX"
        with open(path, "wb") as f:
            f.write(b"[06.03.26 09:05:03] kavro: OpenConnection (0x0,TCP)\r\n"
                    b"[06.03.26 09:05:03] kavro: CTICHECK:" + look_alike + b"\r\n"
                    b"[06.03.26 09:05:04] kavro: Received:\r\nC5 00 01 7E \r\n")
        items = decode_json("--with-log", path)
        self.assertEqual([(i["kind"], i.get("text", i.get("hex"))) for i in items],
                         [("run", "OpenConnection (0x0,TCP)"), ("log", "CTICHECK:" + look_alike.decode()),
                          ("tcp-frame", "7E")])

    def test_unreadable_input_and_usage_errors(self):
        self.assertEqual(decode("/nonexistent/kavro.log")[0], 1)
        self.assertEqual(decode("--format", "log", os.path.join(WIRESHARK_DIR, "README.md"))[0], 1)
        rc, _, err = decode("-x", "16 16 3G")
        self.assertEqual(rc, 2)
        self.assertIn('"3G"', err)
        self.assertEqual(decode("--framing", "x25")[0], 2)


class WiresharkDissectorTest(unittest.TestCase):
    """The Lua dissector in tshark on the shipped capture: a serial link on
    link type USER0 and two TCP links, one on the PBX port, one found by
    content."""

    def setUp(self):
        self.tshark = shutil.which("tshark")
        if not self.tshark:
            self.skipTest("tshark is not installed")

    def test_capture_is_what_the_script_makes(self):
        scratch = tempfile.mkdtemp(prefix="kavro-decode-")
        self.addCleanup(shutil.rmtree, scratch, True)
        fresh = os.path.join(scratch, "sample.pcapng")
        subprocess.run([sys.executable, os.path.join(WIRESHARK_DIR, "make_capture.py"), "-o", fresh], check=True,
                       timeout=30)
        with open(fresh, "rb") as a, open(os.path.join(WIRESHARK_DIR, "kavro-sample.pcapng"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_frames_in_the_sample_capture(self):
        r = subprocess.run([self.tshark, "-X", "lua_script:" + os.path.join(WIRESHARK_DIR, "kavro.lua"),
                            "-r", os.path.join(WIRESHARK_DIR, "kavro-sample.pcapng"), "-V"],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn(b"Lua", r.stderr)
        packets = {}
        for block in re.split(r"^(?=Frame \d+: )", r.stdout.decode(), flags=re.M)[1:]:
            packets[int(block.split()[1].rstrip(":"))] = block

        def has(number, *texts):
            for text in texts:
                self.assertIn(text, packets[number], "packet %d" % number)

        has(1, "kavro layer 2, sent to the PBX", "Service request: 1b43")
        has(2, "kavro layer 2, received from the PBX", "Text line: PBX ready",
            "Service answer: \\nCTI 19200", "[Rate: 19200]")
        has(6, "Frame: RR N(R)=1\n", "Frame: I N(S)=0 N(R)=1 len=9", ".... 000. = N(S): 0", "001. .... = N(R): 1",
            "Header CRC: 0x%04x [correct]" % crc16(bytes([0x20, 0, 0, 9])), "Payload: 52494e472030383135")
        has(8, "kavro layer 2, sent to the PBX", "Frame: RR N(R)=1 P/F", "...1 .... = P/F: True", "Address: 0x01",
            "CRC: 0x%04x [correct]" % crc16(bytes([0x31, 0x01])))
        has(9, "Noise: abcdef", "Frame: RR N(R)=1 P/F")
        good = crc16(b"CALL 42")
        has(10, "Frame: I N(S)=1 N(R)=1 len=7 [BAD]",
            "Payload CRC: 0x%04x [incorrect, should be 0x%04x]" % (good ^ 0x0004, good), "[CRC good: False]")
        has(11, "Incomplete frame: ")
        has(12, "[Bytes carried over: 9]", "[Carried over from: 11]", "Frame: I N(S)=1 N(R)=1 len=14",
            "Payload: " + b"CALL 42, again".hex())
        has(20, "kavro TCP frame", "Payload: 010203", "kavro TCP keepalive", "Payload: f201", "[Keepalive: True]")
        has(21, "kavro TCP keepalive")
        has(23, "[2 Reassembled TCP Segments (22 bytes): #22(8), #23(14)]", "Length: 19",
            "Payload: " + b"RING 0815 on line 2".hex())
        # Port 7002: only the content says it is a kavro TCP link.
        has(30, "Dst Port: 49153", "kavro TCP frame", "Payload: " + b"hello".hex())
        has(31, "kavro TCP keepalive")


if __name__ == "__main__":
    unittest.main()
