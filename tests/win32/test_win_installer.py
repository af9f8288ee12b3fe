"""The installer (kavro-X.Y.Z-win32.msi) installed for real under Wine: what
it puts where, the configuration an installation already has left alone,
the installed kavro.exe running a TCP link, a newer version replacing it
while it runs, an uninstall while it runs (it is asked to close, and its
clients get event 0), and what an uninstall leaves. The installer is the
32-bit program's."""

import glob
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from harness_win import (BITS, LOG_PATH, PREFIX, REGISTRY_KEY, ROOT, WIN_BUILD, WINE, require_environment,
                         set_registry, start_tcp_pbx, stop_process, wine_env)

INSTALL_DIR = os.path.join(PREFIX, "drive_c", "Program Files (x86)", "kavro")
INSTALLED_FILES = ["kavro.exe", "KAVROD32.dll", "kavroctl.exe", "kavro-loop.cmd", "README-windows.txt",
                   "kavro-example.reg", os.path.join("docs", "windows.md"), os.path.join("include", "kavrod32.h")]
EVENT_SOURCE = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\kavro"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
DATA_DIR = os.path.join(PREFIX, "drive_c", "ProgramData", "kavro")
# Windows puts a per-machine package's menu into the common Start menu; Wine
# puts it into the installing user's.
MENU_DIRS = [os.path.join(PREFIX, "drive_c", "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs", "kavro"),
             os.path.join(PREFIX, "drive_c", "users", "*", "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                          "Programs", "kavro")]
CONFIG_COMPONENTS = ["ConfigLink", "ConfigLinkSpeed", "ConfigControlLines", "ConfigIpAddr", "ConfigIpPort",
                     "ConfigKeepalive"]


def wine(*args, timeout=60):
    return subprocess.run([WINE] + list(args), env=wine_env(), capture_output=True, timeout=timeout)


def reg_values(key):
    """The values of `key` in the 32-bit view, name -> (type, data); None
    when the key is missing."""
    r = wine("reg", "query", key, "/reg:32")
    if r.returncode != 0:
        return None
    values = {}
    for line in r.stdout.decode("latin-1").splitlines():
        m = re.match(r"^    (\S+)    (REG_\w+)    (.*)$", line)
        if m:
            values[m.group(1)] = (m.group(2), m.group(3))
    return values


def installed_products():
    """(product code, version) of every installed kavro."""
    r = wine("reg", "query", UNINSTALL_KEY, "/s", "/reg:32")
    products = []
    for block in r.stdout.decode("latin-1").split("\r\n\r\n"):
        code = re.search(r"Uninstall\\(\{[0-9A-F-]+\})", block)
        if code and re.search(r"DisplayName\s+REG_SZ\s+kavro\r?$", block, re.M):
            version = re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", block)
            products.append((code.group(1), version.group(1) if version else None))
    return products


class InstallerTest(unittest.TestCase):
    def setUp(self):
        if BITS != 32:
            raise unittest.SkipTest("the installer is the 32-bit program's")
        require_environment(self)
        found = glob.glob(os.path.join(WIN_BUILD, "kavro-*-win32.msi"))
        if not found:
            if os.environ.get("KAVRO_WIN_STRICT") == "1":
                self.fail("no installer in %s (target kavro_msi)" % WIN_BUILD)
            raise unittest.SkipTest("no installer built")
        self.msi = found[0]
        self.version = re.search(r"kavro-(\d+\.\d+\.\d+)-win32\.msi$", self.msi).group(1)
        # Whatever an earlier run left goes first; so does it after a failure.
        self.uninstall_all()
        self.addCleanup(self.uninstall_all)

    def uninstall_all(self):
        for code, _ in installed_products():
            wine("msiexec", "/x", code, "/qn")

    def newer_installer(self):
        """The same files as a version one higher, built as the build builds
        the installer."""
        major, minor, patch = (int(n) for n in self.version.split("."))
        version = "%d.%d.%d" % (major, minor, patch + 1)
        work = tempfile.mkdtemp(prefix="kavro-win-msi-")
        self.addCleanup(shutil.rmtree, work, True)
        msi = os.path.join(work, "kavro-%s-win32.msi" % version)
        subprocess.run(["cmake", "-DPACKAGE_STAGE=" + os.path.join(WIN_BUILD, "package", "kavro-%s-win32" % self.version),
                        "-DWORK=" + os.path.join(work, "stage"),
                        "-DWXS=" + os.path.join(ROOT, "packaging", "windows", "kavro.wxs"),
                        "-DVERSION=" + version, "-DMSI=" + msi,
                        "-DICON=" + os.path.join(ROOT, "packaging", "windows", "kavro.ico"),
                        "-DCLOSER=" + os.path.join(WIN_BUILD, "kavro-close.exe"),
                        "-P", os.path.join(ROOT, "packaging", "windows", "make_msi.cmake")],
                       check=True, capture_output=True, timeout=60)
        return msi, version

    def test_configuration_components_are_kept_by_repair_upgrade_and_uninstall(self):
        # Permanent (16), a registry key path (4), never written over a value
        # that is there (128): a repair or an upgrade leaves an edited link
        # alone. The record log's value goes with its feature.
        r = subprocess.run(["msiinfo", "export", self.msi, "Component"], capture_output=True, check=True, timeout=30)
        attributes = {}
        for line in r.stdout.decode().splitlines()[3:]:
            fields = line.split("\t")
            attributes[fields[0]] = int(fields[3])
        self.assertEqual({name: attributes[name] for name in CONFIG_COMPONENTS + ["ConfigRecordLog"]},
                         dict({name: 148 for name in CONFIG_COMPONENTS}, ConfigRecordLog=132))

    def start_installed(self, count):
        """The installed kavro.exe, up, and a listener taking `count`
        records."""
        exe = os.path.join(INSTALL_DIR, "kavro.exe")
        kavroctl = os.path.join(INSTALL_DIR, "kavroctl.exe")
        kavro = subprocess.Popen([WINE, exe], cwd=tempfile.gettempdir(), env=wine_env(), stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: kavro.poll() is None and (kavro.kill(), kavro.wait()))
        # Up once its window refuses a command word it does not know.
        end = time.monotonic() + 20
        while wine(kavroctl, "command", "0").returncode != 1:
            self.assertLess(time.monotonic(), end, "the installed kavro.exe has no control window")
            self.assertIsNone(kavro.poll(), "the installed kavro.exe ended")
            time.sleep(0.05)
        listener = subprocess.Popen([WINE, kavroctl, "listen", "--json", "--count", str(count), "--timeout", "60"],
                                    env=wine_env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, listener)
        return kavro, listener

    def test_install_run_upgrade_and_uninstall(self):
        pbx, port = start_tcp_pbx(self, "--keepalive-ms", "0", payloads=[bytes([1, 2, 3])])
        # An installation that has its link configured already; no trace log.
        set_registry({"Link": "TCP", "TapiSvrIpAddr": "127.0.0.1", "TapiSvrIpPort": port})
        if os.path.exists(LOG_PATH):
            os.remove(LOG_PATH)

        r = wine("msiexec", "/i", self.msi, "/qn", "RECORDLOG=1")
        self.assertEqual(r.returncode, 0, r.stderr)
        for name in INSTALLED_FILES:
            self.assertTrue(os.path.isfile(os.path.join(INSTALL_DIR, name)), name)
        # Its values stay; the missing ones get their defaults.
        self.assertEqual(reg_values(REGISTRY_KEY), {
            "Link": ("REG_SZ", "TCP"), "TapiSvrIpAddr": ("REG_SZ", "127.0.0.1"),
            "TapiSvrIpPort": ("REG_DWORD", "0x%x" % port), "LinkSpeed": ("REG_SZ", "9600"),
            "ControlLines": ("REG_DWORD", "0x0"), "Keepalive": ("REG_DWORD", "0x3"),
            "RecordLog": ("REG_SZ", r"C:\ProgramData\kavro\records")})
        self.assertTrue(os.path.isdir(os.path.join(DATA_DIR, "records")))
        menu = [m for d in MENU_DIRS for m in glob.glob(os.path.join(d, "*"))]
        self.assertEqual(sorted(os.path.basename(m) for m in menu),
                         ["kavro README.lnk", "kavro documentation.lnk", "kavro status.lnk"])
        self.assertEqual(reg_values(EVENT_SOURCE), {
            "EventMessageFile": ("REG_EXPAND_SZ", r"C:\Program Files (x86)\kavro\kavro.exe"),
            "TypesSupported": ("REG_DWORD", "0x7")})
        self.assertEqual(reg_values(RUN_KEY)["kavro"],
                         ("REG_SZ", r'cmd.exe /c start "kavro" /min "C:\Program Files (x86)\kavro\kavro-loop.cmd"'))
        with open(LOG_PATH, "rb") as f:
            self.assertEqual(f.read(), b"")
        self.assertEqual([version for _, version in installed_products()], [self.version])
        product = reg_values(UNINSTALL_KEY + "\\" + installed_products()[0][0])
        self.assertEqual({name: product.get(name, (None, None))[1] for name in
                          ("Publisher", "DisplayVersion", "InstallLocation", "HelpLink", "URLInfoAbout")},
                         {"Publisher": "kavro project", "DisplayVersion": self.version,
                          "InstallLocation": "C:\\Program Files (x86)\\kavro\\",
                          "HelpLink": r"C:\Program Files (x86)\kavro\docs\windows.md",
                          "URLInfoAbout": r"C:\Program Files (x86)\kavro\README-windows.txt"})

        # The installed program, its library and its client on the link.
        kavroctl = os.path.join(INSTALL_DIR, "kavroctl.exe")
        exe = os.path.join(INSTALL_DIR, "kavro.exe")
        kavro, listening = self.start_installed(3)
        records = [json.loads(listening.stdout.readline()) for _ in range(2)]
        self.assertEqual(records, [{"kind": "event", "code": 1, "name": "link established"},
                                   {"kind": "payload", "address": 0x20, "length": 3, "hex": "010203"}])
        sent = wine(kavroctl, "send", "--address", "0x20", "ca fe")
        self.assertEqual(sent.returncode, 0, sent.stderr)
        self.assertEqual(pbx.stdout.readline().decode().strip(), "payload addr=0x20 len=2 CA FE")

        # A newer version replaces the installed one while it runs: it is
        # asked to close first (event 0 to its client), and what the
        # installation has is kept.
        newer, newer_version = self.newer_installer()
        r = wine("msiexec", "/i", newer, "/qn")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(kavro.wait(timeout=20), 0)
        self.assertEqual(json.loads(listening.stdout.readline()), {"kind": "event", "code": 0, "name": "shutting down"})
        self.assertEqual([version for _, version in installed_products()], [newer_version])
        self.assertTrue(os.path.isfile(exe))
        self.assertFalse(os.path.exists(os.path.join(DATA_DIR, "stop")))
        self.assertEqual(reg_values(REGISTRY_KEY)["Link"], ("REG_SZ", "TCP"))
        # The installed trace log is on, and kept.
        with open(LOG_PATH, "rb") as f:
            log = f.read()
        self.assertIn(b"CTI Link Released", log)

        # The uninstall, with the new version running: it is closed (event 0
        # to its client), and the uninstall takes the program, its event
        # source, its logon start and its menu, and leaves the configuration
        # and the trace log.
        pbx, port = start_tcp_pbx(self, "--keepalive-ms", "0")
        wine("reg", "add", REGISTRY_KEY, "/v", "TapiSvrIpPort", "/t", "REG_DWORD", "/d", str(port), "/f", "/reg:32")
        kavro, listening = self.start_installed(2)
        self.assertEqual(json.loads(listening.stdout.readline())["code"], 1)
        with open(LOG_PATH, "rb") as f:
            log = f.read()
        r = wine("msiexec", "/x", newer, "/qn")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(kavro.wait(timeout=20), 0)
        self.assertEqual(json.loads(listening.stdout.readline())["code"], 0)
        self.assertFalse(os.path.exists(INSTALL_DIR))
        self.assertFalse(any(os.path.exists(m) for m in menu))
        self.assertIsNone(reg_values(EVENT_SOURCE))
        self.assertNotIn("kavro", reg_values(RUN_KEY) or {})
        self.assertEqual(installed_products(), [])
        self.assertEqual(reg_values(REGISTRY_KEY)["LinkSpeed"], ("REG_SZ", "9600"))
        with open(LOG_PATH, "rb") as f:
            self.assertTrue(f.read().startswith(log))


if __name__ == "__main__":
    unittest.main()
