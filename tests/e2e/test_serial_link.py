"""The real kavro on a pseudo-terminal against a scripted PBX peer."""

import os
import signal
import struct
import subprocess
import time
import unittest

from harness import (DISC, DM, KAVRO, KAVROCTL, RECORDER, REJ, RR, START, UA, Kavro, PtyPeer, i_frame,
                     require_binaries, s_frame, u_frame)


class SerialLinkTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, RECORDER)
        self.peer = PtyPeer()
        self.addCleanup(self.peer.close)

    def start(self, link="COM1", args=(), **kw):
        kw.setdefault("registry_values", {"Link": link})
        kw.setdefault("ports", {"COM1": self.peer.path})
        return Kavro(self, link_args=args, **kw)

    def established(self, **kw):
        k = self.start(**kw)
        self.peer.handshake()
        k.wait_record("event 1")
        return k

    def test_handshake_sets_up_the_link(self):
        k = self.start()
        self.peer.wait_raw(b"\x1b\x43")
        # The first line is always dropped; the second names the rate.
        self.peer.write(b"AB\r\n")
        self.peer.write(b"CTI 9600\r")
        k.wait_record("event 17")
        start = self.peer.expect_frame("U", START)
        self.assertEqual(start.dest, 0)
        self.peer.write(u_frame(UA))
        k.wait_record("event 1")
        self.assertIn("CTI-Link connect: 9600 Bps", k.log_messages())
        self.assertIn("InitV24(9600)", k.log_messages())

    def test_payloads_cross_the_link_byte_for_byte(self):
        k = self.established()
        ctl = k.control()
        payload = bytes(range(256)) + b"\x16\x16\x0d\x0a\x11\x13"
        self.assertEqual(ctl.send_payload(payload, address=0x7F), 1)
        f = self.peer.expect_frame("I")
        self.assertEqual((f.ns, f.nr, f.dest, f.payload), (0, 0, 0x7F, payload))
        # The PBX's I-frame acknowledges ours and carries its own payload.
        self.peer.write(i_frame(0, 1, b"\x00\x16\xff call event", dest=0x21))
        k.wait_record("payload 21 0016FF2063616C6C206576656E74")
        rr = self.peer.expect_frame("S", RR)
        self.assertEqual((rr.nr, rr.dest), (1, 0))

    def test_second_payload_waits_for_the_acknowledgement(self):
        k = self.established()
        ctl = k.control()
        self.assertEqual(ctl.send_payload(b"one"), 1)
        self.assertEqual(ctl.send_payload(b"two"), 1)
        first = self.peer.expect_frame("I")
        self.assertEqual(first.payload, b"one")
        self.assertTrue(self.peer.quiet(0.3), "window of one: the second frame must wait")
        # An I-frame from the PBX that acknowledges the first one: the queued
        # payload goes out carrying the acknowledgement, and no RR follows.
        self.peer.write(i_frame(0, 1, b"x"))
        second = self.peer.expect_frame("I")
        self.assertEqual((second.ns, second.nr, second.payload), (1, 1, b"two"))
        self.peer.write(s_frame(RR, 2))
        self.assertTrue(self.peer.quiet(0.3))

    def test_unacknowledged_frame_is_retransmitted(self):
        k = self.established()
        self.assertEqual(k.control().send_payload(b"lost"), 1)
        self.assertEqual(self.peer.expect_frame("I").payload, b"lost")
        again = self.peer.expect_frame("I", timeout=2.5)
        self.assertEqual((again.ns, again.payload), (0, b"lost"))
        self.peer.write(s_frame(RR, 1))
        self.assertTrue(self.peer.quiet(0.5))

    def test_silent_pbx_during_setup_releases_the_link(self):
        k = self.start()
        self.peer.wait_raw(b"\x1b\x43")
        self.peer.write(b"x\rCTI\r")
        starts = 0
        deadline = time.monotonic() + 8
        while k.proc.poll() is None and time.monotonic() < deadline:
            self.peer.pump(0.2)
            while self.peer.frames:
                f = self.peer.frames.pop(0)
                if f.kind == "U" and f.code == START:
                    starts += 1
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(starts, 3)
        self.assertEqual(k.records()[-1], "event 0")
        self.assertNotIn("event 18", k.records())

    def test_unanswered_service_request_gives_event_18(self):
        k = self.start()
        for _ in range(3):
            self.peer.wait_raw(b"\x1b\x43")
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records(), ["event 18", "event 0"])

    def test_disc_from_the_pbx_ends_the_process(self):
        k = self.established()
        self.peer.write(u_frame(DISC))
        self.peer.expect_frame("U", UA)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records()[-1], "event 0")

    def test_close_request_takes_the_link_down_with_disc(self):
        require_binaries(KAVROCTL)
        k = self.established()
        r = subprocess.run([KAVROCTL, "--run-dir", k.run_dir, "close"], capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.peer.expect_frame("U", DISC)
        self.peer.write(u_frame(UA))
        self.assertEqual(k.wait_exit(), 0)
        self.assertFalse(os.path.exists(os.path.join(k.run_dir, "KavroControlProg")))

    def test_sigterm_is_a_close_request(self):
        k = self.established()
        k.proc.send_signal(signal.SIGTERM)
        self.peer.expect_frame("U", DISC)
        self.peer.write(u_frame(DM))
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records()[-1], "event 0")

    def test_second_close_signal_shuts_down_at_once(self):
        k = self.established()
        k.proc.send_signal(signal.SIGTERM)
        self.peer.expect_frame("U", DISC)
        k.proc.send_signal(signal.SIGHUP)
        self.assertEqual(k.wait_exit(timeout=3), 0)

    def test_command_line_names_the_port(self):
        # The registry names USB; the command line's COM3 wins and is mapped
        # to the pseudo-terminal through the Ports key.
        k = self.start(link="USB", args=["COM3"], ports={"COM3": self.peer.path})
        self.peer.handshake()
        k.wait_record("event 1")

    def test_override_of_a_link_of_no_kind_ends_with_event_0_only(self):
        # The words are joined by single blanks, an empty one included.
        k = self.start(link="XYZ", args=["--", "", "COM1"])
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records(), ["event 0"])
        self.assertTrue(any(m.endswith(", COM1)") for m in k.log_messages() if m.startswith("OpenConnection")))

    def test_noise_and_broken_frames_are_dropped(self):
        k = self.established()
        good = i_frame(0, 0, b"good")
        bad_payload = bytearray(i_frame(0, 0, b"evil"))
        bad_payload[-1] ^= 0xFF
        self.peer.write(b"\x00\x01noise\x16" + bytes(bad_payload) + b"\x16\x16\x99" + good)
        k.wait_record("payload 00 676F6F64")
        self.assertEqual([r for r in k.records() if r.startswith("payload")], ["payload 00 676F6F64"])
        rr = self.peer.expect_frame("S", RR)
        self.assertEqual(rr.nr, 1)

    def test_out_of_sequence_frame_is_rejected(self):
        k = self.established()
        self.peer.write(i_frame(3, 0, b"early"))
        rej = self.peer.expect_frame("S", REJ)
        self.assertEqual(rej.nr, 0)
        self.peer.write(i_frame(0, 0, b"ok"))
        k.wait_record("payload 00 6F6B")

    def test_bad_control_packets_never_disturb_the_link(self):
        k = self.established()
        ctl = k.control()
        self.assertEqual(ctl.raw(b"\x4a\x00"), 0)                             # too short
        self.assertEqual(ctl.request(0x0111, 0x00010000, b"x"), 0)             # unknown message
        self.assertEqual(ctl.request(0x4A, 0x00020000, b"x"), 0)               # unknown command
        self.assertEqual(ctl.raw(struct.pack("<II", 0x4A, 0x00010000) + b"y" * 65536), 0)  # oversized
        self.assertTrue(self.peer.quiet(0.2))
        # A client that vanishes without reading its answer.
        other = k.control()
        other.sock.send(struct.pack("<II", 0x4A, 0x00010000) + b"gone")
        other.close()
        self.assertEqual(self.peer.expect_frame("I").payload, b"gone")
        self.peer.write(s_frame(RR, 1))
        self.assertEqual(ctl.send_payload(b"still fine"), 1)
        self.assertEqual(self.peer.expect_frame("I").payload, b"still fine")


class StartupTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO)

    def test_usage_error_exits_2(self):
        r = subprocess.run([KAVRO, "--no-such-option"], capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(len(r.stderr.decode().strip().splitlines()), 1, r.stderr)

    def test_help_and_version(self):
        r = subprocess.run([KAVRO, "--help"], capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"--registry", r.stdout)
        r = subprocess.run([KAVRO, "--version"], capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 0)

    def test_missing_companion_library_exits_1(self):
        k = Kavro(self, registry_values={"Link": "COM1"}, library="/nonexistent/libnothing.so")
        self.assertEqual(k.wait_exit(), 1)
        err = k.proc.stderr.read().decode()
        self.assertIn("/nonexistent/libnothing.so", err)
        self.assertEqual(len(err.strip().splitlines()), 1, err)
        self.assertTrue(err.startswith("<3>kavro: ") and not err.startswith("<3>kavro: kavro:"), err)

    def test_control_socket_held_by_a_running_kavro_stops_the_start(self):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        first = Kavro(self, registry_values={"Link": "COM1"}, ports={"COM1": peer.path})
        first.control().close()
        second = subprocess.run([KAVRO, "--registry", first.registry, "--run-dir", first.run_dir,
                                 "--log-dir", first.log_dir, "--delivery-library", RECORDER],
                                capture_output=True, timeout=10)
        self.assertEqual(second.returncode, 1)
        self.assertIn(b"running", second.stderr)
        self.assertFalse(second.stderr.startswith(b"kavro: kavro:"), second.stderr)


if __name__ == "__main__":
    unittest.main()
