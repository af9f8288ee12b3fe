"""How kavro.exe starts and fails to start under Wine: the companion DLL
missing or incomplete, a second instance, a link that cannot open, a link
name of no kind, the registry's USB switch, the registry view, and the
configuration check."""

import subprocess
import unittest

from harness_win import (BITS, KAVRO, ONE_ORDINAL_DLL, RECORDER_DLL, REGISTRY_KEY, WINE, KavroExe, kavroctl,
                         require_environment, set_registry, start_pbx, wine_env)

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
        self.assertIn(b"kavro.exe is running already in this session", second.stderr)
        self.assertIn("kavro.exe is running already in this session", first.log_messages())
        # The first one still serves its link.
        self.assertEqual(kavroctl("status").returncode, 0)

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
