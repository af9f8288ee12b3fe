"""kavro.exe on a serial link under Wine: a pseudo-terminal that Wine shows
as COM5, driven by the Linux kavro-pbx or by the scripted peer of the Linux
tests, with the real KAVROD32.dll and kavroctl.exe."""

import json
import os
import subprocess
import termios
import time
import unittest

from harness_win import (COM5, WIN_BUILD, WINE, KavroExe, PtyPeer, kavroctl, require_environment, start_pbx,
                         stop_process, wine_env)

FOREIGN_SENDER = os.path.join(WIN_BUILD, "tests", "win32", "foreign_sender.exe")


def line_settings(path):
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)
    finally:
        os.close(fd)


class SerialLinkTest(unittest.TestCase):
    def setUp(self):
        require_environment(self)

    def test_handshake_rate_switch_payloads_both_ways_and_close(self):
        pbx, path = start_pbx(self, "--rate", "4800", "--pattern", "2", "--interval", "200", "-q")
        # The modem lines are used: DTR and RTS raised, DSR checked.
        k = KavroExe(self, registry={"Link": "COM5", "LinkSpeed": "19200", "ControlLines": 1})
        k.wait_window()
        listener = k.listen(5)
        records = [json.loads(listener.stdout.readline()) for _ in range(4)]
        self.assertEqual([r["code"] for r in records if r["kind"] == "event"], [17, 1], records)
        self.assertEqual([(r["address"], r["hex"]) for r in records if r["kind"] == "payload"],
                         [(0, "01020304"), (0, "02030405")])

        # The rate the PBX named, two stop bits at 4800 and below, no flow
        # control of any kind.
        iflag, _, cflag, _, ispeed, ospeed, _ = line_settings(path)
        self.assertEqual((ispeed, ospeed), (termios.B4800, termios.B4800))
        self.assertTrue(cflag & termios.CSTOPB)
        self.assertFalse(cflag & termios.CRTSCTS)
        self.assertFalse(iflag & (termios.IXON | termios.IXOFF))

        sent = kavroctl("send", "--address", "0x21", "de ad be ef")
        self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertEqual(pbx.stdout.readline().decode().strip(), "payload addr=0x21 len=4 DE AD BE EF")

        # The status request over WM_COPYDATA, answered as on Linux.
        status = kavroctl("status", "--json")
        self.assertEqual(status.returncode, 0, status.stderr)
        fields = json.loads(status.stdout)
        self.assertEqual({key: fields[key] for key in ("link", "kind", "device", "state", "payloads_received",
                                                       "payloads_sent")},
                         {"link": "COM5", "kind": "serial", "device": "\\\\.\\COM5", "state": "established",
                          "payloads_received": 2, "payloads_sent": 1})
        self.assertRegex(kavroctl("status").stdout.decode(), r"state\s+established\r\n")

        closed = kavroctl("close")
        self.assertEqual(closed.returncode, 0, closed.stderr)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(pbx.wait(timeout=10), 0)
        self.assertEqual(json.loads(listener.stdout.readline()), {"kind": "event", "code": 0, "name": "shutting down"})
        self.assertEqual(listener.wait(timeout=10), 0)
        # Nothing left to close.
        self.assertEqual(kavroctl("close").returncode, 3)

        messages = k.log_messages()
        self.assertTrue(any(m.startswith("Kavrocom: CreateFile(COM5) Handle ") for m in messages), messages)
        self.assertNotIn("KavroCom: DSR Check failed, err=0", messages)
        self.assertIn("InitV24(4800)", messages)
        self.assertIn("CTI Link Released", messages)
        # Closing the port ended the receive thread's wait at once.
        self.assertNotIn("WaitForSingleObject(hCommWatchThread,3000)==WAIT_TIMEOUT!!!", messages)
        # Every frame on the wire is in the protocol trace.
        self.assertIn("SendConnection():\r\n16 16 3F 00 ", k.log())

    def test_command_line_tail_replaces_the_configured_link_and_the_session_end_closes_it(self):
        # A PBX that answers the DISC, and one gone silent after the link
        # came up: the clients get event 0 either way, well within the five
        # seconds Windows gives a program at the end of the session.
        for silent in (False, True):
            with self.subTest(silent=silent):
                pbx, _ = start_pbx(self, "-q", *(["--silent-after", "1"] if silent else []))
                k = KavroExe(self, registry={"Link": "USB"}, tail="COM5")
                k.wait_window()
                listener = k.listen(3)
                self.assertEqual([json.loads(listener.stdout.readline())["code"] for _ in range(2)], [17, 1])
                # WM_ENDSESSION: the link is taken down before Windows ends the
                # process (which ends before it answers).
                started = time.monotonic()
                kavroctl("command", "1", "--message", "0x16")
                self.assertEqual(k.wait_exit(), 0)
                self.assertLess(time.monotonic() - started, 4.5)
                self.assertEqual(json.loads(listener.stdout.readline())["code"], 0)
                self.assertEqual(pbx.wait(timeout=10), 1 if silent else 0)
                self.assertIn("SendConnection():\r\n16 16 53 ", k.log())

    def test_foreign_window_messages_are_ignored_and_a_sent_destroy_closes_in_order(self):
        pbx, _ = start_pbx(self, "-q")
        k = KavroExe(self, registry={"Link": "COM5"})
        k.wait_window()
        listener = k.listen(3)
        self.assertEqual([json.loads(listener.stdout.readline())["code"] for _ in range(2)], [17, 1])
        # WM_NCCREATE and WM_CREATE from another program, with a null and a
        # wild creation parameter: the window stays kavro's.
        sent = subprocess.run([WINE, FOREIGN_SENDER, "create"], env=wine_env(), capture_output=True, timeout=30)
        self.assertEqual(sent.returncode, 0)
        # A program whose status window never returns gets its answer on its
        # way (1), a second request while that one is under way is refused
        # (0), and the link goes on: a payload is sent, and the status goes
        # to another program's window.
        hung = subprocess.Popen([WINE, FOREIGN_SENDER, "hang-status"], env=wine_env(), stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, hung)
        self.assertEqual(hung.stdout.readline().strip(), b"asked 1 0")
        sent = kavroctl("send", "--address", "0x21", "be ef")
        self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertEqual(pbx.stdout.readline().decode().strip(), "payload addr=0x21 len=2 BE EF")
        status = kavroctl("status", "--json")
        self.assertEqual(json.loads(status.stdout)["state"], "established", status.stderr)
        stop_process(hung)
        # A WM_DESTROY sent from outside takes the link down as a close
        # request does: DISC (which the PBX answers), then event 0.
        subprocess.run([WINE, FOREIGN_SENDER, "destroy"], env=wine_env(), capture_output=True, timeout=30)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(pbx.wait(timeout=10), 0)
        self.assertEqual(json.loads(listener.stdout.readline())["code"], 0)
        self.assertIn("link COM5 ended: closed by request", k.log_messages())

    def test_a_killed_pbx_ends_the_link_with_its_reason_in_the_trace_log(self):
        pbx, _ = start_pbx(self, "-q")
        k = KavroExe(self, registry={"Link": "COM5"})
        k.wait_window()
        listener = k.listen(4)
        self.assertEqual([json.loads(listener.stdout.readline())["code"] for _ in range(2)], [17, 1])
        pbx.kill()
        self.assertEqual(k.wait_exit(timeout=40), 0)
        # Three of the four records it asked for (event 0 the last): the
        # link ended first.
        self.assertEqual(listener.wait(timeout=10), 4)
        self.assertIn(b"after 3 of 4 records (the link ended)", listener.stderr.read())
        messages = k.log_messages()
        self.assertIn("link COM5 established", messages)
        self.assertIn("link COM5 ended: retries exhausted", messages)
        # The same lines on the error output kavro.exe was started with.
        self.assertIn(b"kavro: link COM5 ended: retries exhausted\r\n", k.proc.stderr.read())

    def test_configured_rate_texts(self):
        # Five characters at most ("115200" is refused and 9600 stays); a text
        # of no known rate leaves the line's rate as it was, never rate 0.
        cases = [("57600", termios.B57600, None), ("115200", termios.B9600, None),
                 ("12345", termios.B2400, "KavroCom: SetCommState failed, err=87")]
        for text, expected, line in cases:
            with self.subTest(LinkSpeed=text):
                peer = PtyPeer()
                self.addCleanup(peer.close)
                attrs = termios.tcgetattr(peer.slave)
                attrs[4] = attrs[5] = termios.B2400
                termios.tcsetattr(peer.slave, termios.TCSANOW, attrs)
                if os.path.lexists(COM5):
                    os.unlink(COM5)
                os.symlink(peer.path, COM5)
                self.addCleanup(lambda: os.path.lexists(COM5) and os.unlink(COM5))

                k = KavroExe(self, registry={"Link": "COM5", "LinkSpeed": text})
                # The service request goes out once the port is set up.
                peer.wait_raw(b"\x1b\x43", timeout=20)
                _, _, cflag, _, ispeed, ospeed, _ = line_settings(peer.path)
                self.assertEqual((ispeed, ospeed), (expected, expected))
                self.assertFalse(cflag & termios.CSTOPB)
                self.assertEqual(kavroctl("close").returncode, 0)
                self.assertEqual(k.wait_exit(), 0)
                if line:
                    self.assertIn(line, k.log_messages())


if __name__ == "__main__":
    unittest.main()
