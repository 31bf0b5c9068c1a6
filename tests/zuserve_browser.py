#!/usr/bin/env python3
"""Drives headless Chromium through its DevTools protocol: opens the
guestbook, types a name and a message into the form, clicks its button,
waits for the page the server redirects to and looks for the new entry.

    zuserve_browser.py URL NAME MESSAGE SCREENSHOT.png

Exit status 0 when the entry is on the page, 1 when not, 77 when no
Chromium is installed. Standard library only (a minimal WebSocket client).
"""
import base64
import http.client
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse


class DevTools:
    """One WebSocket connection to a DevTools target, unmasked frames in,
    masked frames out, as the protocol requires of a client."""

    def __init__(self, ws_url):
        u = urllib.parse.urlparse(ws_url)
        self.sock = socket.create_connection((u.hostname, u.port), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {u.path} HTTP/1.1\r\nHost: {u.hostname}:{u.port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
                          .encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise RuntimeError("DevTools closed during the handshake")
            head += chunk
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise RuntimeError("DevTools refused the WebSocket: " + head.decode(errors="replace"))
        self.next_id = 0
        self.events = []

    def _recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise RuntimeError("DevTools connection closed")
            data += chunk
        return data

    def _send(self, text):
        payload = text.encode()
        header = bytes([0x81])
        n = len(payload)
        if n < 126:
            header += bytes([0x80 | n])
        elif n < 65536:
            header += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            header += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def _recv(self):
        message = b""
        while True:
            b0, b1 = self._recv_exact(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._recv_exact(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._recv_exact(8))[0]
            data = self._recv_exact(n)
            if b0 & 0x0F == 8:
                raise RuntimeError("DevTools closed the WebSocket")
            message += data
            if b0 & 0x80:
                return json.loads(message.decode())

    def call(self, method, **params):
        self.next_id += 1
        self._send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            reply = self._recv()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result.get("result", {}).get("value")


def main():
    url, name, message, screenshot = sys.argv[1:5]
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("chromium is not installed")
        return 77
    profile = tempfile.mkdtemp(prefix="zuserve_chromium_")
    # A test server's certificate comes from a CA the browser cannot be
    # told to trust without a system-wide store: its errors are passed over.
    tls = ["--ignore-certificate-errors"] if url.startswith("https:") else []
    process = subprocess.Popen(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
         "--disable-extensions", "--remote-debugging-port=0", "--user-data-dir=" + profile,
         "--window-size=1000,900"] + tls + ["about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # Chromium names the port it chose in the profile folder.
        port_file = os.path.join(profile, "DevToolsActivePort")
        deadline = time.time() + 60
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if time.time() > deadline or process.poll() is not None:
                print("chromium did not open its DevTools port")
                return 1
            time.sleep(0.1)
        port = int(open(port_file).read().split()[0])
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        conn.request("GET", "/json/list")
        pages = [t for t in json.loads(conn.getresponse().read()) if t.get("type") == "page"]
        tools = DevTools(pages[0]["webSocketDebuggerUrl"])
        tools.call("Page.enable")
        tools.call("Page.navigate", url=url)

        def wait_for(expression, seconds=20):
            end = time.time() + seconds
            while time.time() < end:
                if tools.evaluate(expression):
                    return True
                time.sleep(0.1)
            return False

        if not wait_for("document.readyState === 'complete' && !!document.querySelector('form')"):
            print("the guestbook form did not load")
            return 1
        # Typed into the fields and sent by clicking the button, as a visitor does.
        tools.evaluate("document.querySelector('input[name=name]').value = %s;"
                       "document.querySelector('textarea[name=message]').value = %s;"
                       "window.zuserveMarker = 1;"
                       "document.querySelector('form button').click(); true" % (json.dumps(name), json.dumps(message)))
        found = wait_for("window.zuserveMarker === undefined && document.readyState === 'complete' && "
                         "Array.from(document.querySelectorAll('ol.entries li')).some(li => "
                         "li.querySelector('.who').textContent === %s && li.querySelector('.text').textContent === %s)"
                         % (json.dumps(name), json.dumps(message)))
        shot = tools.call("Page.captureScreenshot", format="png")
        with open(screenshot, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        print("location:", tools.evaluate("location.href"))
        print("entries:", tools.evaluate("document.querySelectorAll('ol.entries li').length"))
        print("found" if found else "the new entry is not on the page")
        return 0 if found else 1
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
