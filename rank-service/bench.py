#!/usr/bin/env python3
"""Prints how fast lookups are answered as the recorded data grows.

    python3 rank-service/bench.py [--rows 10000,100000] [--requests 200]

Each size gets a fresh database in a temporary folder: rows spread over
2000 hosts, 500 users and 40 days; then the store is asked directly, and a
service on 127.0.0.1 (free port) is asked over HTTP, one connection per
request as the plug-in does.
"""

import argparse
import os
import random
import socket
import sqlite3
import sys
import tempfile
import threading
import time

from rankstore import RankStore, WINDOW_SECONDS
from server import RankServer

NOW = 1_800_000_000


def fill(path, rows):
    rnd = random.Random(rows)
    RankStore(path).close()  # schema
    db = sqlite3.connect(path)
    span = WINDOW_SECONDS * 4 // 3
    db.executemany(
        "INSERT INTO lookup (uid, host, time) VALUES (?, ?, ?)",
        (("u%d" % rnd.randrange(500),
          "h%d.example" % (int(rnd.paretovariate(1.2)) % 2000),
          NOW - rnd.randrange(span)) for _ in range(rows)))
    db.commit()
    db.close()


def ask(address, url):
    body = ('{"id":1,"method":"rank","params":[{"url":"%s","uid":"bench"}],'
            '"version":"1.0"}' % url).encode()
    request = (b"POST /rank/ HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
               % len(body)) + body + b"\r\n"
    with socket.create_connection(address, timeout=10) as s:
        s.sendall(request)
        answer = b""
        while b"\r\n\r\n" not in answer:
            chunk = s.recv(4095)
            if not chunk:
                break
            answer += chunk
    return answer


def measure(rows, requests):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "bench.sqlite")
        fill(path, rows)
        store = RankStore(path, clock=lambda: NOW)
        urls = ["http://h%d.example/" % (i % 50) for i in range(requests)]
        started = time.perf_counter()
        for url in urls:
            store.lookup(url, "bench")
        direct = (time.perf_counter() - started) / requests

        server = RankServer(("127.0.0.1", 0), store, log=lambda line: None)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            started = time.perf_counter()
            for url in urls:
                ask(server.server_address, url)
            http = (time.perf_counter() - started) / requests
        finally:
            server.stop()
            store.close()
    print("rows={:>8}  store lookup {:7.2f} ms  http request {:7.2f} ms"
          .format(rows, direct * 1000, http * 1000))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", default="10000,100000,300000")
    p.add_argument("--requests", type=int, default=200)
    args = p.parse_args()
    for rows in (int(x) for x in args.rows.split(",")):
        measure(rows, args.requests)


if __name__ == "__main__":
    sys.exit(main())
