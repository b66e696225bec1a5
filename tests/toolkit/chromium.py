"""Headless Chromium driven over the DevTools protocol for the page's tests, the screenshots and the load-time
bench. Chromium talks on a pipe (fds 3 and 4 of the child, JSON messages ended by a NUL byte), so no
WebSocket client is needed.
"""

from __future__ import annotations

import base64
import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

CANDIDATES = ("chromium", "chromium-browser", "google-chrome")


def find_chromium() -> str | None:
    return next((path for path in map(shutil.which, CANDIDATES) if path), None)


class ChromiumError(Exception):
    pass


class Chromium:
    """One headless browser with one page. Use as a context manager; every wait is bounded."""

    def __init__(self, width: int = 1280, height: int = 860, timeout: float = 20.0):
        executable = find_chromium()
        if executable is None:
            raise ChromiumError("no Chromium on this machine")
        self.timeout = timeout
        self._profile = tempfile.mkdtemp(prefix="zelmor-chromium-")
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()
        flags = [
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-dev-shm-usage",
            "--no-first-run",
            "--disable-extensions",
            "--remote-debugging-pipe",
            f"--user-data-dir={self._profile}",
            f"--window-size={width},{height}",
            "about:blank",
        ]
        command = " ".join(_quote(a) for a in [executable, *flags])
        self._process = subprocess.Popen(
            ["bash", "-c", f"exec {command} 3<&{to_browser_read} 4>&{from_browser_write}"],
            pass_fds=(to_browser_read, from_browser_write),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        os.close(to_browser_read)
        os.close(from_browser_write)
        self._next_id = 0
        self._replies: dict[int, queue.Queue] = {}
        self._lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()
        try:
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self._session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            self.send("Page.enable")
            self.send("Runtime.enable")
            self.send(
                "Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1, mobile=False
            )
        except BaseException:
            self.close()
            raise

    def _read(self) -> None:
        buffer = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 1 << 16)
            except OSError:
                return
            if not chunk:
                return
            buffer += chunk
            while b"\0" in buffer:
                message, buffer = buffer.split(b"\0", 1)
                reply = json.loads(message)
                if "id" in reply and reply["id"] in self._replies:
                    self._replies[reply["id"]].put(reply)

    def call(self, method: str, session: str | None = None, **params):
        with self._lock:
            self._next_id += 1
            number = self._next_id
            self._replies[number] = queue.Queue()
        message = {"id": number, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        try:
            reply = self._replies[number].get(timeout=self.timeout)
        except queue.Empty:
            raise ChromiumError(f"{method}: no answer in {self.timeout} s") from None
        finally:
            del self._replies[number]
        if "error" in reply:
            raise ChromiumError(f"{method}: {reply['error'].get('message')}")
        return reply.get("result", {})

    def send(self, method: str, **params):
        """A command to the page."""
        return self.call(method, self._session, **params)

    def goto(self, url: str) -> None:
        self.send("Page.navigate", url=url)

    def evaluate(self, expression: str):
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise ChromiumError(f"{expression}: {result['exceptionDetails'].get('exception', {}).get('description')}")
        return result["result"].get("value")

    def wait_for(self, expression: str, timeout: float | None = None):
        """The value of ``expression`` once it is truthy; ChromiumError after ``timeout`` seconds."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            try:
                value = self.evaluate(expression)
            except ChromiumError:
                value = None  # the page is between documents
            if value:
                return value
            if time.monotonic() > deadline:
                raise ChromiumError(f"waited {timeout or self.timeout} s for {expression}")
            time.sleep(0.05)

    def click(self, x: float, y: float) -> None:
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def key(self, key: str, code: int) -> None:
        for kind in ("keyDown", "keyUp"):
            self.send("Input.dispatchKeyEvent", type=kind, key=key, code=key, windowsVirtualKeyCode=code)

    def screenshot(self, path: Path) -> Path:
        data = self.send("Page.captureScreenshot", format="png")["data"]
        Path(path).write_bytes(base64.b64decode(data))
        return Path(path)

    def close(self) -> None:
        try:
            self.call("Browser.close")
        except (ChromiumError, OSError):
            pass
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        for fd in (self._to_browser, self._from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self._profile, ignore_errors=True)

    def __enter__(self) -> Chromium:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _quote(text: str) -> str:
    return "'" + text.replace("'", "'\\''") + "'"
