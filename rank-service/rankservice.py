#!/usr/bin/env python3
"""Local rank service: answers the toolbar's "rank" calls from its own data.

    python3 rankservice.py --listen 127.0.0.42 --port 80 --db ranks.sqlite
        [--import ranks.csv] [--ready-file PATH] [--fault MODE]

Logs one line per request on stderr; see README.md for the data model,
the CSV format, the fault modes and the exit statuses.
"""

import argparse
import errno
import os
import signal
import socket
import sys
import threading
import time

import faults
from rankstore import RankStore, StoreError
from server import RankServer

EXIT_BAD_ADDRESS = 3
EXIT_ADDRESS_IN_USE = 4
EXIT_DATABASE = 5
EXIT_IMPORT = 6

_log_lock = threading.Lock()


def log(line):
    stamp = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    with _log_lock:
        sys.stderr.write("{} {}\n".format(stamp, line))
        sys.stderr.flush()


def _fail(status, message):
    sys.stderr.write("rankservice: {}\n".format(message))
    return status


def _write_ready(path, host, port):
    # Written whole and renamed, so a waiting script never reads half a line.
    temp = path + ".tmp"
    with open(temp, "w") as f:
        f.write("{} {}\n".format(host, port))
    os.replace(temp, path)


def parse_args(argv):
    p = argparse.ArgumentParser(prog="rankservice", description=__doc__,
                                formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--listen", default="127.0.0.1",
                   help="IPv4 address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=80,
                   help="TCP port (default 80; 0 picks a free one)")
    p.add_argument("--db", required=True, help="SQLite file, created if absent")
    p.add_argument("--import", dest="import_csv", metavar="CSV",
                   help="replace the imported ranking list with this file")
    p.add_argument("--ready-file", metavar="PATH",
                   help='written as "ADDRESS PORT" once listening')
    p.add_argument("--fault", choices=faults.MODES,
                   help="misbehave on every request, for client fault tests")
    args = p.parse_args(argv)
    if not 0 <= args.port <= 65535:
        p.error("--port must be 0 to 65535")
    return args


def main(argv=None):
    args = parse_args(argv)

    try:
        infos = socket.getaddrinfo(args.listen, args.port, socket.AF_INET,
                                   socket.SOCK_STREAM)
    except (socket.gaierror, UnicodeError) as e:
        return _fail(EXIT_BAD_ADDRESS, "bad listen address {!r}: {}"
                     .format(args.listen, e))
    address = infos[0][4]

    try:
        store = RankStore(args.db)
    except StoreError as e:
        return _fail(EXIT_DATABASE, str(e))
    try:
        if args.import_csv:
            try:
                count = store.import_csv(args.import_csv)
            except StoreError as e:
                return _fail(EXIT_IMPORT, "import failed: {}".format(e))
            log("imported {} ranked hosts from {}".format(count,
                                                         args.import_csv))
        try:
            server = RankServer(address, store, fault=args.fault, log=log)
        except OSError as e:
            where = "{}:{}".format(*address)
            if e.errno == errno.EADDRINUSE:
                return _fail(EXIT_ADDRESS_IN_USE,
                             "cannot listen on {}: address already in use"
                             .format(where))
            return _fail(EXIT_BAD_ADDRESS, "cannot listen on {}: {}"
                         .format(where, e.strerror or e))
        return _serve(server, args)
    finally:
        store.close()


def _serve(server, args):
    host, port = server.server_address[:2]

    def on_signal(signum, frame):
        # Once: a second signal must not cut the orderly close short.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        raise KeyboardInterrupt()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        if args.ready_file:
            try:
                _write_ready(args.ready_file, host, port)
            except OSError as e:
                return _fail(1, "cannot write ready file {}: {}"
                             .format(args.ready_file, e.strerror or e))
        log("listening on {}:{}{}".format(
            host, port, " fault=" + args.fault if args.fault else ""))
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()
        log("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
