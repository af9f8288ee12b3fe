"""kavro-pbx, kavro, the default companion library and kavroctl together, as
a user runs them."""

import json
import os
import subprocess
import time
import unittest

from harness import BUILD, KAVRO, KAVRO_PBX, KAVROCTL, Kavro, require_binaries

KAVROD = os.path.join(BUILD, "libkavrod.so.1")


class ToolsTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, KAVRO_PBX, KAVROCTL, KAVROD)

    def start_pbx(self, *args):
        pbx = subprocess.Popen([KAVRO_PBX, "--print-path-only", "-q"] + list(args),
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (pbx.kill(), pbx.wait(), pbx.stdout.close()))
        path = pbx.stdout.readline().decode().strip()
        self.assertTrue(path.startswith("/dev/"), path)
        return pbx, path

    def test_payloads_both_ways_through_the_default_library(self):
        pbx, path = self.start_pbx("--pattern", "3", "--interval", "200")
        k = Kavro(self, registry_values={"Link": "COM1"}, ports={"COM1": path}, library=KAVROD)
        # The companion library's socket exists before the control socket, and
        # records wait for the first client, so nothing is missed.
        k.control().close()
        listener = subprocess.Popen([KAVROCTL, "--run-dir", k.run_dir, "listen", "--json", "--count", "5",
                                     "--timeout", "20"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: (listener.kill(), listener.wait(), listener.stdout.close(),
                                 listener.stderr.close()))
        records = [json.loads(line) for line in listener.stdout]
        self.assertEqual(listener.wait(), 0)
        events = [r["code"] for r in records if r["kind"] == "event"]
        payloads = [r["hex"] for r in records if r["kind"] == "payload"]
        self.assertEqual(events, [17, 1])
        self.assertEqual(payloads, ["01020304", "02030405", "03040506"])

        sent = subprocess.run([KAVROCTL, "--run-dir", k.run_dir, "send", "--address", "0x21", "de ad be ef"],
                              capture_output=True, timeout=10)
        self.assertEqual(sent.returncode, 0, sent.stderr)
        line = pbx.stdout.readline().decode().strip()
        self.assertEqual(line, "payload addr=0x21 len=4 DE AD BE EF")

        closed = subprocess.run([KAVROCTL, "--run-dir", k.run_dir, "close"], capture_output=True, timeout=10)
        self.assertEqual(closed.returncode, 0, closed.stderr)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(pbx.wait(timeout=10), 0)

    def test_listen_follow_goes_on_across_a_restart_of_kavro(self):
        pbx = subprocess.Popen([KAVRO_PBX, "--tcp", "0", "--stay", "--print-path-only", "-q", "--keepalive-ms", "0"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (pbx.kill(), pbx.wait(), pbx.stdin.close(), pbx.stdout.close()))
        port = int(pbx.stdout.readline())
        k = Kavro(self, registry_values={"Link": "TCP", "TapiSvrIpAddr": "127.0.0.1",
                                         "TapiSvrIpPort": "dword:%08x" % port, "Keepalive": "dword:00000000"},
                  library=KAVROD)
        # The global options after the subcommand, as users type them.
        listener = subprocess.Popen([KAVROCTL, "listen", "--follow", "--count", "5", "--timeout", "60",
                                     "--run-dir", k.run_dir],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (listener.kill(), listener.wait(), listener.stdout.close(),
                                 listener.stderr.close()))

        def feed(hex_line):
            pbx.stdin.write(hex_line.encode() + b"\n")
            pbx.stdin.flush()

        self.assertEqual(listener.stdout.readline(), "event 1 (link established)\n")
        feed("41 42")
        self.assertEqual(listener.stdout.readline(), "payload addr=0x20 len=2 41 42\n")
        closed = subprocess.run([KAVROCTL, "close", "--run-dir", k.run_dir], capture_output=True, timeout=10)
        self.assertEqual(closed.returncode, 0, closed.stderr)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(listener.stdout.readline(), "event 0 (shutting down)\n")
        # Restarted only once the listener has found kavro gone, so that it
        # has to find it again.
        for line in listener.stderr:
            if "lost kavro on %s" % k.run_dir in line:
                break
        again = subprocess.Popen([KAVRO, "--registry", k.registry, "--run-dir", k.run_dir, "--log-dir", k.log_dir,
                                  "--delivery-library", KAVROD], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (again.kill(), again.wait()))
        self.assertEqual(listener.stdout.readline(), "event 1 (link established)\n")
        feed("43")
        # The fifth record in all ends it.
        self.assertEqual(listener.stdout.read(), "payload addr=0x20 len=1 43\n")
        self.assertEqual(listener.wait(timeout=10), 0)
        self.assertIn("connected to kavro on %s" % k.run_dir, listener.stderr.read())

    def test_kavroctl_without_a_running_kavro(self):
        r = subprocess.run([KAVROCTL, "--run-dir", "/nonexistent-kavro-run", "send", "41"],
                           capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 3)
        self.assertIn(b"no kavro is running", r.stderr)


if __name__ == "__main__":
    unittest.main()
