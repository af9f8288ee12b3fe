"""Headless Debian Chromium driven over its DevTools protocol (a websocket,
python3-websocket): enough to open a page, run script in it, wait for what
it shows, take a screenshot and read its memory."""

import base64
import json
import os
import shutil
import subprocess
import tempfile
import urllib.request

import websocket

from harness_common import stop_process, wait_for

CHROMIUM = os.environ.get("KAVRO_CHROMIUM", "/usr/bin/chromium")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-extensions", "--remote-debugging-port=0", "--window-size=1280,1500"]


class Browser:
    """One Chromium with a fresh profile and one page."""

    def __init__(self, test):
        self.profile = tempfile.mkdtemp(prefix="kavro-web-chromium-")
        test.addCleanup(shutil.rmtree, self.profile, True)
        self.proc = subprocess.Popen([CHROMIUM] + FLAGS + ["--user-data-dir=" + self.profile, "about:blank"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        test.addCleanup(stop_process, self.proc)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0, "Chromium's DevTools port", 30)
        with open(port_file) as f:
            port = int(f.readline())
        pages = json.load(urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port, timeout=10))
        url = [p for p in pages if p["type"] == "page"][0]["webSocketDebuggerUrl"]
        # No Origin header: Chromium refuses DevTools websockets from origins
        # it was not told to allow.
        self.ws = websocket.create_connection(url, timeout=30, suppress_origin=True)
        test.addCleanup(self.ws.close)
        self.next_id = 0
        self.problems = []
        self.call("Log.enable")
        self.call("Page.enable")
        self.call("Runtime.enable")
        self.call("Performance.enable")
        self.call("Emulation.setDeviceMetricsOverride", width=1280, height=1500, deviceScaleFactor=1, mobile=False)

    def call(self, method, **params):
        self.next_id += 1
        ident = self.next_id
        self.ws.send(json.dumps({"id": ident, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            self.note(message)
            if message.get("id") == ident:
                if "error" in message:
                    raise AssertionError("%s: %s" % (method, message["error"]))
                return message["result"]

    def note(self, message):
        """Keeps the page's script errors and refusals (a Content Security
        Policy violation among them); failed requests are the test's to
        judge, not faults of the page."""
        method, params = message.get("method"), message.get("params", {})
        if method == "Runtime.exceptionThrown":
            self.problems.append(params["exceptionDetails"].get("exception", {}).get("description", "exception"))
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error" \
                and params["entry"]["source"] != "network":
            self.problems.append(params["entry"]["text"])

    def run(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise AssertionError("script failed: %s\n%s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def open(self, url):
        self.call("Page.navigate", url=url)

    def wait(self, expression, what, timeout=15):
        """Until `expression` is true; one that throws (the page not there
        yet) counts as false."""
        def holds():
            result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
            return "exceptionDetails" not in result and result["result"].get("value")
        wait_for(holds, what, timeout, interval=0.05)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)["data"]
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def heap_bytes(self):
        """The page's JavaScript heap in use, after a garbage collection."""
        self.call("HeapProfiler.collectGarbage")
        metrics = self.call("Performance.getMetrics")["metrics"]
        return {m["name"]: m["value"] for m in metrics}
