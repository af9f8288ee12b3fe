"""What an operator sees of the real kavro: the lifecycle lines on standard
error, the status on the control socket, and the configuration check."""

import grp
import json
import os
import pty
import pwd
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import KAVRO, KAVRO_PBX, KAVROCTL, RECORDER, Kavro, require_binaries, wait_for


def lifecycle_lines(text):
    return [l for l in text.splitlines() if l[:3] in ("<3>", "<4>", "<6>", "<7>")]


def failure_record(run_dir):
    with open(os.path.join(run_dir, "last-failure")) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f)


class LifecycleTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, RECORDER)

    def test_missing_device_is_an_error_line_with_its_path_and_the_system_text(self):
        # --quiet leaves out the informational lines only (the status test
        # below sees them without it).
        k = Kavro(self, registry_values={"Link": "COM1"}, ports={"COM1": "/nonexistent/ttyKAVRO"},
                  link_args=["--quiet"])
        self.assertEqual(k.wait_exit(), 0)
        text = k.proc.stderr.read().decode()
        lines = lifecycle_lines(text)
        cause = "cannot open serial link COM1 on /nonexistent/ttyKAVRO: No such file or directory"
        self.assertEqual(lines, ["<3>kavro: " + cause, "<4>kavro: link COM1 could not be set up"])
        # With the trace log on, its lines also reach standard error, with LF
        # line ends; but not when standard error is the journal.
        self.assertIn("] kavro: OpenConnection COM1 failed !\n", text)
        self.assertNotIn("\r", text)
        with tempfile.TemporaryFile() as journal:
            st = os.fstat(journal.fileno())
            env = dict(os.environ, JOURNAL_STREAM="%d:%d" % (st.st_dev, st.st_ino))
            r = subprocess.run([KAVRO, "--registry", k.registry, "--run-dir", os.path.join(k.dir, "journal"),
                                "--log-dir", k.log_dir, "--delivery-library", RECORDER], stderr=journal, env=env,
                               timeout=10)
            self.assertEqual(r.returncode, 0)
            journal.seek(0)
            text = journal.read().decode()
        self.assertEqual([l for l in text.splitlines() if "] kavro: " in l], [])
        self.assertIn("<3>kavro: " + cause, text)
        self.assertEqual(failure_record(k.run_dir)["cause"], cause)

        # The same failure again in the same run directory, as the unit
        # restarts it: no error line, and a wait before giving up that grows.
        again = dict(registry_values={"Link": "COM1"}, ports={"COM1": "/nonexistent/ttyKAVRO"}, run_dir=k.run_dir)
        k2 = Kavro(self, **again)
        self.assertEqual(k2.wait_exit(), 0)
        lines = lifecycle_lines(k2.proc.stderr.read().decode())
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0], r"^<7>kavro: the same start failure, 2 times in a row since .*: waiting 2 s")
        self.assertEqual((failure_record(k.run_dir)["count"], failure_record(k.run_dir)["wait_ms"]), ("2", "2000"))

        # While it waits, the status request is answered and a signal ends it
        # at once. Ten minutes after the last error line, the line comes again
        # with the count.
        record = failure_record(k.run_dir)
        record["reported"] = str(int(record["reported"]) - 3600)
        with open(os.path.join(k.run_dir, "last-failure"), "w") as f:
            f.write("".join("%s=%s\n" % item for item in record.items()))
        k3 = Kavro(self, **again)
        k3.control().close()
        # The control socket is there before the start fails and the record
        # is written anew.
        def waits_4000():
            try:
                return failure_record(k.run_dir).get("wait_ms") == "4000"
            except (OSError, ValueError):
                return False
        wait_for(waits_4000, "a wait of 4000 ms in the record")
        status = subprocess.run([KAVROCTL, "--run-dir", k.run_dir, "status", "--json"], capture_output=True,
                                timeout=10)
        self.assertEqual(status.returncode, 0, status.stderr)
        self.assertEqual(json.loads(status.stdout)["link"], "COM1")
        k3.proc.terminate()
        self.assertEqual(k3.wait_exit(timeout=3.0), 0)
        lines = lifecycle_lines(k3.proc.stderr.read().decode())
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0], r"^<3>kavro: %s \(3 failed starts since .*; now retried every 4 s or so\)$" % cause)


class StatusTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, KAVRO_PBX, KAVROCTL, RECORDER)

    def start_pbx(self):
        pbx = subprocess.Popen([KAVRO_PBX, "--print-path-only", "-q"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (pbx.kill(), pbx.wait(), pbx.stdout.close()))
        return pbx, pbx.stdout.readline().decode().strip()

    def ctl(self, k, *args):
        return subprocess.run([KAVROCTL, "--run-dir", k.run_dir] + list(args), capture_output=True, timeout=10)

    def status(self, k):
        r = self.ctl(k, "status", "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        return json.loads(r.stdout)

    def wait_status(self, k, test, what, timeout=10.0):
        end = time.monotonic() + timeout
        while True:
            s = self.status(k)
            if test(s):
                return s
            if time.monotonic() > end:
                raise AssertionError("status never showed %s: %r" % (what, s))
            time.sleep(0.05)

    def test_status_of_a_serial_link_and_its_lifecycle_lines(self):
        pbx, path = self.start_pbx()
        # A failure remembered from an earlier run is forgotten once the link is up.
        run_dir = tempfile.mkdtemp(prefix="kavro-e2e-run-")
        self.addCleanup(shutil.rmtree, run_dir, True)
        with open(os.path.join(run_dir, "last-failure"), "w") as f:
            f.write("cause=cannot open serial link COM1 on %s: No such file or directory\ncount=5\n" % path)
        k = Kavro(self, registry_values={"Link": "COM1"}, ports={"COM1": path}, run_dir=run_dir)
        k.control().close()
        before = self.wait_status(k, lambda s: s["state"] == "established", "the link established")
        self.assertFalse(os.path.exists(os.path.join(run_dir, "last-failure")))
        self.assertEqual((before["link"], before["kind"], before["device"]), ("COM1", "serial", path))
        self.assertEqual(before["payloads_sent"], 0)
        self.assertIsNone(before["listeners"])

        self.assertEqual(self.ctl(k, "send", "41 42 43").returncode, 0)
        self.assertEqual(pbx.stdout.readline().decode().strip(), "payload addr=0x00 len=3 41 42 43")
        # Acknowledged by the PBX: a frame came back and nothing waits.
        after = self.wait_status(k, lambda s: s["frames_received"] > before["frames_received"] and
                                 s["send_queue"] == 0, "the acknowledgement")
        self.assertEqual(after["payloads_sent"], 1)
        self.assertGreater(after["frames_sent"], before["frames_sent"])
        self.assertEqual((after["retransmissions"], after["damaged"], after["link_resets"]), (0, 0, 0))
        self.assertIsNotNone(after["since_last_frame_ms"])

        text = self.ctl(k, "status").stdout.decode()
        self.assertRegex(text, r"state\s+established")
        self.assertRegex(text, r"payloads sent\s+1")
        self.assertRegex(text, r"clients\s+unknown")

        self.assertEqual(self.ctl(k, "close").returncode, 0)
        self.assertEqual(k.wait_exit(), 0)
        lines = lifecycle_lines(k.proc.stderr.read().decode())
        self.assertEqual(lines, ["<6>kavro: opened serial link COM1 on %s at 9600 bit/s" % path,
                                 "<6>kavro: link COM1 established",
                                 "<6>kavro: link COM1 ended: closed by request"])


class UnprivilegedAccountTest(unittest.TestCase):
    """kavro as an account without privileges, as a service runs it."""

    def setUp(self):
        require_binaries(KAVRO, KAVRO_PBX, RECORDER)
        if os.geteuid() != 0:
            self.skipTest("switching to an unprivileged account needs root")
        self.nobody = pwd.getpwnam("nobody")

    def test_the_same_pty_opens_again_and_an_unwritable_trace_log_is_reported(self):
        pbx = subprocess.Popen([KAVRO_PBX, "--print-path-only", "-q", "--stay"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (pbx.kill(), pbx.wait(), pbx.stdout.close()))
        path = pbx.stdout.readline().decode().strip()
        os.chmod(path, 0o666)
        for run in range(2):
            # The first run's trace log is there but not the account's to write.
            lock_log = (lambda k: os.chmod(k.log_path, 0o444)) if run == 0 else None
            k = Kavro(self, registry_values={"Link": "COM1"}, ports={"COM1": path}, account=self.nobody,
                      before_start=lock_log)
            k.wait_record("event 1", timeout=10)
            k.control().request(0x10)
            self.assertEqual(k.wait_exit(), 0)
            self.assertNotIn("event 18", k.records())
            warnings = [l for l in lifecycle_lines(k.proc.stderr.read().decode()) if l.startswith("<4>")]
            if run == 0:
                self.assertEqual(warnings, ["<4>kavro: trace log %s exists but account nobody cannot write it "
                                            "(Permission denied): the trace is off; give the account write "
                                            "access to the file" % k.log_path])
                self.assertEqual(k.log(), "")
            else:
                self.assertEqual(warnings, [])
                self.assertEqual(k.log_messages().count("CTI Link Released"), 1, k.log())

    def test_check_config_tries_the_access_the_start_needs(self):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        path = os.ttyname(slave)
        os.chown(path, 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(path, 0o660)
        d = tempfile.mkdtemp(prefix="kavro-e2e-")
        self.addCleanup(shutil.rmtree, d, True)
        os.chmod(d, 0o755)
        registry = os.path.join(d, "kavro.reg")
        with open(registry, "w") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n\"Link\"=\"COM1\"\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage\\Ports]\r\n\"COM1\"=\"%s\"\r\n" % path)
        os.chmod(registry, 0o644)
        check = ["setpriv", "--reuid", "nobody", "--regid", "nogroup", "--clear-groups", "--",
                 KAVRO, "--check-config", "--registry", registry, "--log-dir", d]
        r = subprocess.run(check, capture_output=True, timeout=10)
        out = r.stdout.decode()
        self.assertEqual(r.returncode, 1, out)
        self.assertIn("device          %s (Permission denied for account nobody)\n" % path, out)
        self.assertIn("access          add the account to group dialout (usermod -aG dialout nobody), "
                      "then start kavro anew\n", out)
        self.assertIn("result          no link can be opened", out)
        # In the group, the account can.
        check[check.index("--clear-groups")] = "--groups=dialout"
        r = subprocess.run(check, capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertIn("result          a link can be opened", r.stdout.decode())


class ConfigurationTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO)
        self.dir = tempfile.mkdtemp(prefix="kavro-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def run_kavro(self, *args):
        return subprocess.run([KAVRO] + list(args), capture_output=True, timeout=10)

    def registry(self, text):
        path = os.path.join(self.dir, "kavro.reg")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_an_explicit_registry_must_exist_and_parse(self):
        for args in (["--registry", os.path.join(self.dir, "missing.reg")],
                     ["--registry", self.registry("not a registry export\n")]):
            r = self.run_kavro(*args, "--run-dir", os.path.join(self.dir, "run"))
            self.assertEqual(r.returncode, 1, r.stderr)
            err = r.stderr.decode()
            self.assertEqual(len(err.strip().splitlines()), 1, err)
            self.assertTrue(err.startswith("<3>kavro: ") and "--registry" in err, err)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "run", "KavroControlProg")))

    def test_check_config_shows_values_with_their_sources(self):
        good = self.registry("Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
                             "\"Link\"=\"COM1\"\r\n\"LinkSpeed\"=\"19200\"\r\n"
                             "\"TapiSvrIpAddr\"=\"127.0.0.9\"\r\n\"TapiSvrIpPort\"=dword:00001234\r\n"
                             "\"Keepalive\"=\"on\"\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage\\Ports]\r\n"
                             "\"COM1\"=\"/dev/null\"\r\n")
        r = self.run_kavro("--check-config", "--registry", good)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        out = r.stdout.decode()
        self.assertRegex(out, r"Link\s+COM1 \(file\)")
        self.assertRegex(out, r"LinkSpeed\s+19200 \(file\)")
        self.assertRegex(out, r"ControlLines\s+0 \(default\)")
        self.assertRegex(out, r"device\s+/dev/null\n")
        # The command line's link, of no device: checked, not opened.
        r = self.run_kavro("--check-config", "--registry", good, "COM99")
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertRegex(r.stdout.decode(), r"Link\s+COM99 \(command line\)")
        self.assertRegex(r.stdout.decode(), r"device\s+/dev/ttyS98")
        # kavro@TCP beside a serial "Link": the file's TCP values, each with
        # its true source (a Keepalive of the wrong type is no value).
        r = self.run_kavro("--check-config", "--registry", good, "TCP")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        out = r.stdout.decode()
        self.assertRegex(out, r"TapiSvrIpAddr\s+127\.0\.0\.9 \(file\)")
        self.assertRegex(out, r"TapiSvrIpPort\s+4660 \(file\)")
        self.assertRegex(out, r"Keepalive\s+3 \(default\)")
        # Misspelt names are read as absent, and said so.
        slips = self.registry("Windows Registry Editor Version 5.00\r\n\r\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlag]\r\n\"Link\"=\"COM1\"\r\n\r\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n\"LinkSped\"=\"19200\"\r\n")
        r = self.run_kavro("--check-config", "--registry", slips)
        self.assertRegex(r.stdout.decode(), r"LinkSpeed\s+9600 \(default\)")
        self.assertEqual([line for line in r.stderr.decode().splitlines() if line.startswith("<4>")], [
            "<4>kavro: registry key [software\\tovik\\tovik tk-anlag] is not read, so its values are ignored; "
            "did you mean [SOFTWARE\\Tovik\\Tovik TK-Anlage]?",
            "<4>kavro: registry value \"linksped\" is not read, so LinkSpeed keeps its default; "
            "did you mean \"LinkSpeed\"?"])
        # A broken file is reported, not checked.
        r = self.run_kavro("--check-config", "--registry", self.registry("REGEDIT4\n[broken\n"))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"<3>kavro: ", r.stderr)


if __name__ == "__main__":
    unittest.main()
