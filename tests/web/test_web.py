"""kavro-web in front of a real kavro on a TCP link to kavro-pbx, opened in
headless Chromium: the login, the link's state, records from the PBX shown
as text, the chart, sending, the banner when kavro ends and the page
following kavro back; and what it refuses."""

import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "common"))
from harness import BUILD, KAVRO, KAVRO_PBX, REGISTRY_KEY, require_binaries, stop_process, wait_for  # noqa: E402

WEB = os.path.join(BUILD, "kavro-web")
KAVROD = os.path.join(BUILD, "libkavrod.so.1")
PAGE_DIR = os.path.join(HERE, "..", "..", "tools", "kavro-web", "page")
CHART_JS = "/usr/share/javascript/chart.js/chart.min.js"
USER, PASSWORD = "watcher", "pw-" + os.urandom(8).hex()
SCRIPT = "<script>alert(1)</script>"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Link:
    """kavro-pbx on TCP fed through its standard input, kavro with the
    default library, and kavro-web in front of it."""

    def __init__(self, test, *web_args):
        self.dir = tempfile.mkdtemp(prefix="kavro-web-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.pbx = subprocess.Popen([KAVRO_PBX, "--tcp", "0", "--print-path-only", "-q", "--keepalive-ms", "0",
                                     "--stay"],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        test.addCleanup(stop_process, self.pbx)
        pbx_port = int(self.pbx.stdout.readline())
        self.registry = os.path.join(self.dir, "kavro.reg")
        with open(self.registry, "w") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n" % REGISTRY_KEY +
                    '"Link"="TCP"\r\n"TapiSvrIpAddr"="127.0.0.1"\r\n'
                    '"TapiSvrIpPort"=dword:%08x\r\n"Keepalive"=dword:00000000\r\n' % pbx_port)
        self.run_dir = os.path.join(self.dir, "run")
        self.test = test
        self.start_kavro()
        self.password_file = os.path.join(self.dir, "password")
        with open(self.password_file, "w") as f:
            f.write(PASSWORD + "\n")
        os.chmod(self.password_file, 0o640)
        self.port = free_port()
        self.web = self.start_web(*web_args)
        test.addCleanup(stop_process, self.web)
        self.wait_listening()

    def start_kavro(self):
        self.kavro = subprocess.Popen([KAVRO, "--registry", self.registry, "--run-dir", self.run_dir, "--log-dir",
                                       os.path.join(self.dir, "log"), "--delivery-library", KAVROD, "-q"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.test.addCleanup(stop_process, self.kavro)

    def start_web(self, *args):
        return subprocess.Popen(
            [WEB, "--config", os.devnull, "--run-dir", self.run_dir, "--listen", "127.0.0.1:%d" % self.port,
             "--user", USER, "--password-file", self.password_file, "--page-dir", PAGE_DIR, "--chart-js",
             CHART_JS] + list(args) + ["TEST"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def wait_listening(self):
        def up():
            if self.web.poll() is not None:
                raise AssertionError("kavro-web ended: " + self.web.stderr.read())
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(up, "kavro-web to listen", 10)

    def feed(self, *payloads):
        self.pbx.stdin.write(b"".join(p.hex().encode() + b"\n" for p in payloads))
        self.pbx.stdin.flush()

    def request(self, method, path, body=None, host=None, origin=None, cookie=None, token=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        headers = {"Host": host or "127.0.0.1:%d" % self.port}
        if origin:
            headers["Origin"] = origin
        if cookie:
            headers["Cookie"] = cookie
        if token:
            headers["X-CSRF-Token"] = token
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
            body = urllib.parse.urlencode(body)
        conn.request(method, path, body=body, headers=headers)
        response = conn.getresponse()
        data = response.read()
        conn.close()
        return response, data


class WebPageTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, KAVRO_PBX, KAVROD, WEB)
        for path in ("/usr/bin/chromium", CHART_JS):
            if not os.path.exists(path):
                self.skipTest("needs chromium and libjs-chart.js (scripts/deps.sh --tests)")

    def test_page_in_chromium_follows_the_link(self):
        from browser import Browser
        link = Link(self, "--allow-send")
        browser = Browser(self)
        browser.open("http://127.0.0.1:%d/" % link.port)
        browser.wait("!document.getElementById('login').hidden", "the login form")
        browser.run("document.getElementById('login-user').value = %r;"
                    "document.getElementById('login-password').value = %r;"
                    "document.getElementById('login-submit').click(); true" % (USER, PASSWORD))
        browser.wait("document.getElementById('f-state').textContent === 'established'", "state established")

        link.feed(b"CALL 0042 from 201", SCRIPT.encode(), bytes(range(0, 40)))
        browser.wait("[...document.querySelectorAll('#records-body span')].some(s => s.textContent === %r)" % SCRIPT,
                     "the <script> payload shown as text")
        self.assertEqual(browser.run("document.querySelectorAll('#records-body script').length"), 0)
        self.assertEqual(browser.run("document.querySelectorAll('#records-body .row')[0].children[4].textContent"),
                         "." * 32 + " !\"#$%&'")
        browser.wait("Chart.getChart('chart-records').data.datasets[0].data.some(v => v > 0)",
                     "the records chart to move")

        browser.run("document.getElementById('send-payload').value = 'ping';"
                    "document.getElementById('send-submit').click(); true")
        browser.wait("document.getElementById('send-answer').textContent.startsWith('sent')", "the send's answer")

        artifacts = os.path.join(BUILD, "test-artifacts")
        browser.screenshot(os.path.join(artifacts, "kavro-web.png"))
        heap = browser.heap_bytes()
        print("\npage heap in use: %.1f MiB, DOM nodes: %d" % (heap["JSHeapUsedSize"] / 2**20, heap["Nodes"]))

        self.assertEqual(browser.problems, [], "errors on the page")

        link.kavro.send_signal(signal.SIGTERM)
        browser.wait("!document.getElementById('banner').hidden && "
                     "document.getElementById('banner').textContent.includes('not running')",
                     "the banner when kavro ends")
        # kavro back: the page follows by itself.
        link.kavro.wait(10)
        link.start_kavro()
        browser.wait("document.getElementById('banner').hidden && "
                     "document.getElementById('f-state').textContent === 'established'", "the link back on the page")
        link.feed(b"after the restart")
        browser.wait("document.querySelector('#records-body .row span:nth-child(5)').textContent === 'after the restart'",
                     "a record after kavro's restart")

    def test_refuses_without_login_foreign_host_or_origin_and_send_without_token(self):
        link = Link(self, "--allow-send", "--max-pages", "1")
        origin = "http://127.0.0.1:%d" % link.port
        self.assertEqual(link.request("GET", "/events")[0].status, 401)
        self.assertEqual(link.request("GET", "/api/status")[0].status, 401)
        self.assertEqual(link.request("POST", "/api/login", {"user": USER, "password": "wrong"},
                                      origin=origin)[0].status, 401)
        # DNS rebinding: the right address under another name.
        self.assertEqual(link.request("GET", "/", host="attacker.example:%d" % link.port)[0].status, 421)
        self.assertEqual(link.request("POST", "/api/login", {"user": USER, "password": PASSWORD},
                                      origin="http://attacker.example")[0].status, 403)
        response, body = link.request("POST", "/api/login", {"user": USER, "password": PASSWORD}, origin=origin)
        self.assertEqual(response.status, 200)
        cookie = response.getheader("Set-Cookie").split(";")[0]
        self.assertIn("HttpOnly", response.getheader("Set-Cookie"))
        token = re.search(rb'"csrf":"([0-9A-F]+)"', body).group(1).decode()
        self.assertEqual(link.request("GET", "/api/status", cookie=cookie)[0].status, 200)
        # One page open at most here: a second page's stream is refused.
        page = http.client.HTTPConnection("127.0.0.1", link.port, timeout=10)
        page.request("GET", "/events", headers={"Host": "127.0.0.1:%d" % link.port, "Cookie": cookie})
        self.assertEqual(page.getresponse().status, 200)
        self.assertEqual(link.request("GET", "/events", cookie=cookie)[0].status, 503)
        page.close()
        self.assertEqual(link.request("POST", "/api/send", {"payload": "x"}, origin=origin,
                                      cookie=cookie)[0].status, 403)
        self.assertEqual(link.request("POST", "/api/send", {"payload": "x"}, origin=origin, cookie=cookie,
                                      token="0" * 64)[0].status, 403)
        self.assertEqual(link.request("POST", "/api/send", {"payload": "x"}, origin="http://attacker.example",
                                      cookie=cookie, token=token)[0].status, 403)
        self.assertEqual(link.request("POST", "/api/send", {"payload": "x"}, origin=origin, cookie=cookie,
                                      token=token)[0].status, 200)

        # The port taken: one clear line, exit 1.
        second = link.start_web()
        _, err = second.communicate(timeout=10)
        self.assertEqual(second.returncode, 1)
        self.assertEqual(len(err.strip().splitlines()), 1, err)
        self.assertRegex(err, r"^<3>kavro-web: cannot listen on 127\.0\.0\.1:%d: Address already in use" % link.port)


if __name__ == "__main__":
    unittest.main()
