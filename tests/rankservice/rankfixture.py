"""Shared fixtures: the toolbar client's request and reader, and services.

`client_request` builds the bytes the toolbar sends (JSON escapes, key order,
the body encoder, the trailing CR LF); `client_exchange` reads the answer as
its channel does: 4095-byte reads, each cut at its first NUL, stopping at the
first CR LF CR LF.
"""

import os
import re
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

_ESCAPES = {0x08: b"\\b", 0x09: b"\\t", 0x0A: b"\\n", 0x0C: b"\\f",
            0x0D: b"\\r", 0x22: b'\\"', 0x2F: b"\\/", 0x5C: b"\\\\"}


def _json_string(data):
    if isinstance(data, str):
        data = data.encode("cp1252")
    return b'"' + b"".join(_ESCAPES.get(b, bytes([b])) for b in data) + b'"'


def client_body(url, uid="{6B29FC40-CA47-1067-B31D-00DD010662DA}",
                uagent="Mozilla/4.0 (compatible; MSIE 8.0)", id_=1):
    params = {"lang": "en-US", "ref": "", "uagent": uagent, "uid": uid,
              "url": url}
    obj = b"{" + b",".join(b'"' + k.encode() + b'":' + _json_string(v)
                           for k, v in sorted(params.items())) + b"}"
    text = (b'{"agent":"ieaddon-2.2.0-73-stable-win-x86_64","id":'
            + str(id_).encode() + b',"method":"rank","params":[' + obj
            + b'],"version":"1.0"}')
    # The client's body encoder: cut at NUL, control characters to spaces.
    text = text.split(b"\0", 1)[0]
    return bytes(0x20 if b in b"\r\n\b\f\t" else b for b in text)


def client_request(url, **kw):
    body = client_body(url, **kw)
    head = ("POST /rank/ HTTP/1.1\r\nHost: rank.zorvanworks.com\r\nContent-"
            "Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(body))
    return head.encode() + body + b"\r\n"


def client_exchange(address, request, timeout=5.0):
    """Send in one piece, read as the client does: (answer, complete)."""
    with socket.create_connection(address, timeout=timeout) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.sendall(request)
        answer = b""
        while b"\r\n\r\n" not in answer:
            chunk = s.recv(4095)
            if not chunk:
                return answer, False
            answer += chunk.split(b"\0", 1)[0]
        return answer, True


# The client's four answer patterns, case-insensitive, searched from the start.
_PATTERNS = [re.compile(p, re.I | re.S) for p in (
    rb'{[^}]*"version":\s*"((?>\\"|[^"\\])*)"[^}]*}',
    rb'{[^}]*"code":\s*(\d+)[^}]*\}',
    rb'{[^}]*"id":\s*(\d+)[^\}]*}',
    rb'{[^}]*"result":\s*"((?>\\"|[^"\\])*)"[^}]*}')]


def parse_rpc_result(answer):
    """The result text the client takes out of an answer, or b""."""
    match = None
    for pattern in _PATTERNS:
        match = pattern.search(answer)
        if not match:
            return b""
    return match.group(1)


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
