"""Shared fixtures: a service in this process, a rank call, raw exchanges."""

import json
import os
import shutil
import socket
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE_DIR = os.path.join(HERE, "..", "..", "rank-service")
sys.path.insert(0, SERVICE_DIR)

from rankstore import RankStore  # noqa: E402
from server import RankServer  # noqa: E402

def call_body(url, id_=1, uagent="Mozilla/4.0 (compatible; MSIE 8.0)"):
    """A rank call's body; the client's own bytes are sent by the C++ rank
    exchange test against this service."""
    params = {"lang": "en-US", "ref": "", "uagent": uagent,
              "uid": "{6B29FC40-CA47-1067-B31D-00DD010662DA}", "url": url}
    return json.dumps({"agent": "ieaddon-2.2.0-73-stable-win-x86_64",
                       "id": id_, "method": "rank", "params": [params],
                       "version": "1.0"}, separators=(",", ":")).encode()


def post(body, path=b"/rank/", method=b"POST", extra=b""):
    return b"%s %s HTTP/1.1\r\nHost: x\r\n%sContent-Length: %d\r\n\r\n%s" % (
        method, path, extra, len(body), body)


def raw_answer(address, data):
    """Send bytes, read everything until the server closes."""
    with socket.create_connection(address, timeout=5) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        return b"".join(iter(lambda: s.recv(65536), b""))


class FakeClock:
    def __init__(self, now=1_800_000_000):
        self.now = now

    def __call__(self):
        return self.now


class LocalService:
    """A service in this process on 127.0.0.1 and a free port."""

    def __init__(self, fault=None):
        self.dir = tempfile.mkdtemp(prefix="rankservice-")
        self.store = RankStore(os.path.join(self.dir, "ranks.sqlite"),
                               clock=FakeClock())
        self.lines = []
        self.server = RankServer(("127.0.0.1", 0), self.store, fault=fault,
                                 log=self.lines.append)
        self.address = self.server.server_address
        self._thread = threading.Thread(target=self.server.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()

    def close(self):
        self.server.stop()
        self._thread.join(5)
        self.store.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def wait_lines(self, count, timeout=5.0):
        """The log once it holds count lines (the log follows the send)."""
        deadline = time.monotonic() + timeout
        while len(self.lines) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        return list(self.lines)
