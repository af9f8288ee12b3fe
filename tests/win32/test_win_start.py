"""How kavro.exe starts and fails to start under Wine: the companion DLL
missing or incomplete, a second instance, a link that cannot open, a link
name of no kind, the registry's USB switch, the registry view, and the
configuration check."""

import os
import subprocess
import unittest

from harness_win import (BITS, KAVRO, LAST_FAILURE, LOG_PATH, ONE_ORDINAL_DLL, RECORDER_DLL, REGISTRY_KEY, WIN_BUILD, WINE,
                         KavroExe, kavroctl, require_environment, set_registry, start_pbx, stop_process, wait_for,
                         wine_env)

FOREIGN_SENDER = os.path.join(WIN_BUILD, "tests", "win32", "foreign_sender.exe")

OTHER_VIEW = "/reg:64" if BITS == 32 else "/reg:32"


class StartTest(unittest.TestCase):
    def setUp(self):
        require_environment(self)

    def test_missing_or_incomplete_companion_library_stops_the_start(self):
        for library, line in ((None, "LoadLibrary(KAVROD32.dll) failed, err=126"),
                              (ONE_ORDINAL_DLL, "GetProcAddress(KAVROD32.dll, 8) failed, err=127")):
            with self.subTest(library=library):
                k = KavroExe(self, registry={"Link": "COM5"}, library=library)
                self.assertEqual(k.wait_exit(), 1)
                self.assertEqual(k.log_messages(), [line])
                self.assertIn(b"KAVROD32.dll", k.proc.stderr.read())

    def test_usb_without_a_device_fails_the_link(self):
        # USBEnabled makes USB the default link; there is no device to find.
        k = KavroExe(self, registry={"USBEnabled": 1}, library=RECORDER_DLL)
        self.assertEqual(k.wait_exit(), 0)
        self.assertEqual(k.records(), ["event 18", "event 0"])
        self.assertEqual(k.log_messages()[-2:], ["OpenConnection USB failed !", "KavroWnd: OpenConnection failed"])

    def test_override_of_a_link_of_no_kind_opens_nothing(self):
        k = KavroExe(self, registry={"Link": "XYZ"}, tail="COM1", library=RECORDER_DLL)
        self.assertEqual(k.wait_exit(), 0)
        # No event 18: nothing was tried.
        self.assertEqual(k.records(), ["event 0"])
        self.assertIn("KavroWnd: OpenConnection failed", k.log_messages())

    def test_a_second_instance_is_refused(self):
        start_pbx(self, "-q")
        first = KavroExe(self, registry={"Link": "COM5"})
        first.wait_window()
        second = subprocess.run([WINE, KAVRO], env=wine_env(), capture_output=True, timeout=30)
        self.assertEqual(second.returncode, 1)
        self.assertIn(b"kavro.exe is running already in this session (process ", second.stderr)
        self.assertTrue(any(m.startswith("kavro.exe is running already in this session (process ")
                            for m in first.log_messages()), first.log_messages())
        # The first one still serves its link.
        self.assertEqual(kavroctl("status").returncode, 0)

    def test_the_link_lock_held_elsewhere_is_waited_for_and_taken_over(self):
        # Another program (or a kavro.exe of another session) holds the lock:
        # kavro.exe says so and waits, with neither window nor link.
        start_pbx(self, "-q")
        holder = subprocess.Popen([WINE, FOREIGN_SENDER, "hold-mutex"], env=wine_env(), stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, holder)
        self.assertEqual(holder.stdout.readline().strip(), b"held")
        k = KavroExe(self, registry={"Link": "COM5"})
        wait_for(lambda: any("waiting to take it over when that one ends" in m for m in k.log_messages()),
                 "kavro.exe to say that it waits for the link")
        self.assertEqual(kavroctl("status").returncode, 3)
        self.assertIsNone(k.proc.poll())
        # The holder ends without letting the lock go: it is taken over.
        holder.stdin.close()
        self.assertEqual(holder.wait(timeout=30), 0)
        k.wait_window()
        self.assertIn("the link's last holder ended without letting it go: taken over", k.log_messages())
        self.assertEqual(kavroctl("close").returncode, 0)
        self.assertEqual(k.wait_exit(), 0)

    def test_a_start_failing_as_the_last_did_is_told_once_then_waits(self):
        first = KavroExe(self, registry={"Link": "COM7"}, library=RECORDER_DLL)
        self.assertEqual(first.wait_exit(), 0)
        told = first.proc.stderr.read().decode()
        self.assertIn("COM7", told)
        with open(LAST_FAILURE) as f:
            self.assertIn("count=1\n", f.read())
        # The same failure again: nothing on the error output or in the
        # Event Log, a line in the trace log, and a wait before the start is
        # given up, with the window answering meanwhile.
        second = KavroExe(self, registry={"Link": "COM7"}, library=RECORDER_DLL, forget_failure=False)
        second.wait_window()
        self.assertEqual(second.wait_exit(), 0)
        self.assertEqual(second.proc.stderr.read(), b"")
        self.assertEqual(second.records(), ["event 18", "event 0"])
        self.assertTrue(any(m.startswith("the same start failure, 2 times in a row since ") and
                            m.endswith(": waiting 2 s before giving up") for m in second.log_messages()),
                        second.log_messages())
        with open(LAST_FAILURE) as f:
            self.assertIn("count=2\nsince=", f.read())

    def test_check_config_and_a_key_only_in_the_other_registry_view(self):
        start_pbx(self, "-q")
        set_registry({"Link": "COM5", "LinkSpeed": "19200"})
        r = subprocess.run([WINE, KAVRO, "--check-config"], env=wine_env(), capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout)
        out = r.stdout.decode()
        view = "%d-bit view" % BITS
        self.assertRegex(out, r"Link\s+COM5 \(%s\)\r\n" % view)
        self.assertRegex(out, r"LinkSpeed\s+19200 \(%s\)\r\n" % view)
        self.assertRegex(out, r"ControlLines\s+0 \(default\)\r\n")
        self.assertRegex(out, r"device\s+\\\\\.\\COM5: can be opened\r\n")
        self.assertRegex(out, r"result\s+a link can be opened\r\n")

        # What the start would do: a port beyond 16 bits is its low 16 bits,
        # a rate text too long is refused (and said so), and the check writes
        # nothing into the trace log, which is the running link's.
        open(LOG_PATH, "wb").close()
        set_registry({"Link": "TCP", "TapiSvrIpAddr": "127.0.0.1", "TapiSvrIpPort": 70000})
        r = subprocess.run([WINE, KAVRO, "--check-config"], env=wine_env(), capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertRegex(r.stdout.decode(), r"TapiSvrIpPort\s+70000 \(%s\): more than 16 bits; the link uses the low "
                                            r"16 bits, port 4464\r\n" % view)
        set_registry({"Link": "COM5", "LinkSpeed": "115200"})
        r = subprocess.run([WINE, KAVRO, "--check-config"], env=wine_env(), capture_output=True, timeout=30)
        self.assertRegex(r.stdout.decode(), r'LinkSpeed\s+9600 \(default\): the stored "115200" is refused\r\n')
        with open(LOG_PATH, "rb") as f:
            self.assertEqual(f.read(), b"")

        # The values stored in the other view only: the check and the start
        # both say where they are, and the defaults (COM2) cannot be opened.
        set_registry({})
        subprocess.run([WINE, "reg", "add", REGISTRY_KEY, "/v", "Link", "/t", "REG_SZ", "/d", "COM5", "/f", OTHER_VIEW],
                       env=wine_env(), check=True, capture_output=True, timeout=30)
        self.addCleanup(subprocess.run, [WINE, "reg", "delete", REGISTRY_KEY, "/f", OTHER_VIEW], env=wine_env(),
                        capture_output=True, timeout=30)
        r = subprocess.run([WINE, KAVRO, "--check-config"], env=wine_env(), capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 1, r.stdout)
        out = r.stdout.decode()
        self.assertIn("found only in the %d-bit view" % (96 - BITS), out)
        self.assertRegex(out, r"Link\s+COM2 \(default\)")
        k = KavroExe(self, library=RECORDER_DLL)
        self.assertEqual(k.wait_exit(), 0)
        warning = [m for m in k.log_messages() if m.startswith("registry key ")]
        self.assertEqual(len(warning), 1, k.log_messages())
        self.assertIn("Tovik TK-Anlage (%d-bit view) does not exist, but " % BITS, warning[0])
        self.assertIn("(%d-bit view) does" % (96 - BITS), warning[0])
        self.assertIn("WOW6432Node", warning[0])


if __name__ == "__main__":
    unittest.main()
