"""How kavro.exe starts and fails to start under Wine: the companion DLL
missing or incomplete, a link that cannot open, a link name of no kind, the
registry's USB switch."""

import unittest

from harness_win import ONE_ORDINAL_DLL, RECORDER_DLL, KavroExe, require_environment


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


if __name__ == "__main__":
    unittest.main()
