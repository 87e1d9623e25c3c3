"""Headless Chromium driven over the DevTools protocol on a pipe.

The pipe (--remote-debugging-pipe: commands on descriptor 3, answers and
events on descriptor 4, each message ending in a NUL byte) needs no debugging
port and no WebSocket library: only the Python standard library.
"""

import json
import os
import select
import shutil
import subprocess
import tempfile
import time


class BrowserError(Exception):
    pass


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    def __init__(self, executable):
        self.profile = tempfile.mkdtemp(prefix="tb-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def child_fds():
            # Copies first, so that neither end is overwritten by the other's move.
            read_end, write_end = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        args = [
            executable, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync",
            "--user-data-dir=" + self.profile, "--remote-debugging-pipe", "about:blank",
        ]
        self.process = subprocess.Popen(
            args, preexec_fn=child_fds, pass_fds=(3, 4),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self.events = []
        self.session = None

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=5)
        except Exception:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        for fd in (self._to_browser, self._from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self._from_browser], [], [], left)
            if not ready:
                return None
            chunk = os.read(self._from_browser, 65536)
            if not chunk:
                raise BrowserError("the browser closed its debugging pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=True, timeout=30):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read_message(deadline)
            if answer is None:
                raise BrowserError(method + ": no answer within %d s" % timeout)
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise BrowserError(method + ": " + json.dumps(answer["error"]))
                return answer.get("result", {})
            if "method" in answer:
                self.events.append(answer)

    def pump(self, seconds):
        """Collects events for a while."""
        deadline = time.monotonic() + seconds
        while True:
            event = self._read_message(deadline)
            if event is None:
                return
            if "method" in event:
                self.events.append(event)

    def open_page(self):
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)
        attached = self.call("Target.attachToTarget",
                             {"targetId": target["targetId"], "flatten": True}, session=False)
        self.session = attached["sessionId"]
        for domain in ("Page.enable", "Runtime.enable", "Network.enable"):
            self.call(domain)

    def navigate(self, url, timeout=30):
        self.events = [e for e in self.events if e.get("method") != "Page.loadEventFired"]
        self.call("Page.navigate", {"url": url})
        self.wait_event("Page.loadEventFired", timeout)

    def wait_event(self, method, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events:
                if event.get("method") == method and event.get("sessionId") == self.session:
                    self.events.remove(event)
                    return event
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("no %s within %d s" % (method, timeout))
            self.pump(min(left, 0.2))

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {
            "expression": expression, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in result:
            raise BrowserError("script failed: " + json.dumps(result["exceptionDetails"])[:500])
        return result["result"].get("value")

    def wait_for(self, expression, timeout=30):
        """Evaluates until the value is truthy; returns it."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError("waited %d s for: %s" % (timeout, expression))
            self.pump(0.2)
