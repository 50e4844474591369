#!/usr/bin/python3
"""Local rank service: answers the toolbar's "rank" calls from its own data.

    rankservice.py --listen 127.0.0.42 --port 80 --db ranks.sqlite
        [--import ranks.csv] [--ready-file PATH] [--fault MODE]
        [--store redis://HOST:PORT[,HOST:PORT...]] [--workers N] ...
    rankservice.py recompute (--db PATH | --store URL)

Logs one line per request on stderr (--no-request-log turns them off); see
README.md for the stores, the ranking, the fault modes and exit statuses.
"""

import argparse
import errno
import os
import resource
import signal
import socket
import sys
import threading
import time

import faults
from rankstore import RankStore, StoreError, load_secret
from server import MAX_CONNECTIONS, READ_TIMEOUT, RankServer, listening_socket

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


def _store_options(p):
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--db", help="SQLite file, created if absent")
    where.add_argument("--store", metavar="URL",
                       help="sqlite:PATH or redis://HOST:PORT[,HOST:PORT...] "
                            "(a Redis Cluster's nodes)")
    p.add_argument("--secret-file", metavar="PATH",
                   help="key of the user hash, created at first start "
                        "(default: beside the SQLite file; required with "
                        "Redis, the same file for every process)")


def parse_args(argv):
    p = argparse.ArgumentParser(prog="rankservice", description=__doc__,
                                formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--listen", default="127.0.0.1",
                   help="IPv4 address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=80,
                   help="TCP port (default 80; 0 picks a free one)")
    _store_options(p)
    p.add_argument("--import", dest="import_csv", metavar="CSV",
                   help="replace the imported ranking list with this file")
    p.add_argument("--ready-file", metavar="PATH",
                   help='written as "ADDRESS PORT" once listening')
    p.add_argument("--fault", choices=faults.MODES,
                   help="misbehave on every request, for client fault tests")
    p.add_argument("--recompute-every", type=float, default=60.0,
                   metavar="SECONDS", help="ranking period (default 60)")
    p.add_argument("--batch-ms", type=float, default=100.0,
                   help="longest wait of a lookup before its group commit "
                        "(default 100)")
    p.add_argument("--workers", type=int, default=1,
                   help="processes answering on the one address (default 1)")
    p.add_argument("--max-connections", type=int, default=MAX_CONNECTIONS,
                   help="per process (default {})".format(MAX_CONNECTIONS))
    p.add_argument("--request-timeout", type=float, default=READ_TIMEOUT,
                   help="seconds for a request to arrive whole (default {:g})"
                   .format(READ_TIMEOUT))
    p.add_argument("--no-request-log", dest="request_log",
                   action="store_false", help="no log line per request")
    args = p.parse_args(argv)
    if not 0 <= args.port <= 65535:
        p.error("--port must be 0 to 65535")
    if args.workers < 1 or args.max_connections < 1:
        p.error("--workers and --max-connections must be at least 1")
    if args.recompute_every <= 0 or args.batch_ms < 0:
        p.error("--recompute-every must be positive, --batch-ms not negative")
    return args


def open_backend(args):
    url = args.store or "sqlite:" + args.db
    if url.startswith("redis://"):
        from redisstore import RedisBackend
        return RedisBackend(url), args.secret_file
    if url.startswith("sqlite:"):
        from sqlitestore import SqliteBackend
        path = url[len("sqlite:"):]
        return SqliteBackend(path), args.secret_file or path + ".secret"
    raise StoreError("unknown store {!r}: sqlite:PATH or redis://HOST:PORT"
                     .format(url))


def open_store(args, recompute_every):
    backend, secret_file = open_backend(args)
    try:
        if secret_file is None:
            raise StoreError("--secret-file is needed with a Redis store")
        secret = load_secret(secret_file)
        return RankStore(backend, secret, recompute_every=recompute_every,
                         batch_seconds=args.batch_ms / 1000.0, log=log)
    except BaseException:
        backend.close()
        raise


def recompute_main(argv):
    p = argparse.ArgumentParser(
        prog="rankservice recompute",
        description="Ranks now and publishes the table; running services "
                    "take it within a second.")
    _store_options(p)
    args = p.parse_args(argv)
    args.batch_ms = 0
    try:
        backend, _ = open_backend(args)
        store = RankStore(backend, b"", recompute_every=None, log=log)
    except StoreError as e:
        return _fail(EXIT_DATABASE, str(e))
    try:
        while not store.recompute():
            time.sleep(0.5)  # another process is ranking; then it is ours
        return 0
    except StoreError as e:
        return _fail(EXIT_DATABASE, str(e))
    finally:
        store.close()


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["recompute"]:
        return recompute_main(argv[1:])
    args = parse_args(argv)

    try:
        infos = socket.getaddrinfo(args.listen, args.port, socket.AF_INET,
                                   socket.SOCK_STREAM)
    except (socket.gaierror, UnicodeError) as e:
        return _fail(EXIT_BAD_ADDRESS, "bad listen address {!r}: {}"
                     .format(args.listen, e))
    address = infos[0][4]

    if args.import_csv:
        # Before any worker starts, so every one answers with the list.
        try:
            store = open_store(args, None)
        except StoreError as e:
            return _fail(EXIT_DATABASE, str(e))
        try:
            count = store.import_csv(args.import_csv)
        except StoreError as e:
            return _fail(EXIT_IMPORT, "import failed: {}".format(e))
        finally:
            store.close()
        log("imported {} ranked hosts from {}".format(count, args.import_csv))

    try:
        sock = listening_socket(address, reuse_port=args.workers > 1)
    except OSError as e:
        where = "{}:{}".format(*address)
        if e.errno == errno.EADDRINUSE:
            return _fail(EXIT_ADDRESS_IN_USE,
                         "cannot listen on {}: address already in use"
                         .format(where))
        return _fail(EXIT_BAD_ADDRESS, "cannot listen on {}: {}"
                     .format(where, e.strerror or e))
    if args.workers == 1:
        return _serve(sock, args, on_ready=lambda host, port: _write_ready(
            args.ready_file, host, port) if args.ready_file else None)
    return _supervise(sock, args)


def _connection_bound(wanted):
    """Raises the descriptor limit to the hard one; the bound stays under it
    so that accepting never fails for want of a descriptor."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        soft = hard
    except (ValueError, OSError):
        pass
    if soft == resource.RLIM_INFINITY:
        return wanted
    return max(1, min(wanted, soft - 64))


def _serve(sock, args, on_ready):
    try:
        store = open_store(args, args.recompute_every)
    except StoreError as e:
        sock.close()
        return _fail(EXIT_DATABASE, str(e))
    try:
        try:
            from metrics import Metrics
            metrics = Metrics(store)
        except ImportError:
            metrics = None
            log("no /metrics: python3-prometheus-client is not installed")
        server = RankServer(None, store, fault=args.fault, log=log, sock=sock,
                            max_connections=_connection_bound(
                                args.max_connections),
                            read_timeout=args.request_timeout,
                            request_log=args.request_log, metrics=metrics)
        host, port = server.server_address[:2]
        # Ready once the table is loaded: a client never waits behind it.
        try:
            on_ready(host, port)
        except OSError as e:
            return _fail(1, "cannot write ready file {}: {}"
                         .format(args.ready_file, e.strerror or e))

        def on_start(loop):
            # Stopping twice is stopping once: the close stays orderly.
            for signum in (signal.SIGTERM, signal.SIGINT):
                loop.add_signal_handler(signum, server.stop_soon)
            loop.add_signal_handler(signal.SIGHUP, store.recompute_soon)
            log("listening on {}:{}{}".format(
                host, port, " fault=" + args.fault if args.fault else ""))

        _use_uvloop()
        server.serve_forever(on_start=on_start)
        server.server_close()
        return 0
    finally:
        store.close()  # writes every queued lookup
        log("stopped")


def _use_uvloop():
    try:
        import uvloop
    except ImportError:
        return
    import asyncio
    asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())


def _supervise(sock, args):
    """N workers, each with its own socket on the address (SO_REUSEPORT), so
    the kernel spreads connections; one that dies is started again."""
    address = sock.getsockname()
    sock.close()  # bound to learn the port and test the address only
    children = {}
    ready_r, ready_w = os.pipe()

    def spawn(slot):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
                    signal.signal(signum, signal.SIG_DFL)
                os.close(ready_r)
                own = listening_socket(address, reuse_port=True)
                code = _serve(own, args, on_ready=lambda host, port:
                              os.write(ready_w, b"r"))
            except BaseException as e:
                log("worker: {}".format(e))
            finally:
                os._exit(code)
        children[pid] = slot

    stopping = []

    def on_stop(signum, frame):
        stopping.append(signum)
        for pid in children:
            os.kill(pid, signal.SIGTERM)

    def on_hup(signum, frame):
        # One worker recomputes; the others load its table.
        if children:
            os.kill(next(iter(children)), signal.SIGHUP)

    signal.signal(signal.SIGTERM, on_stop)
    signal.signal(signal.SIGINT, on_stop)
    signal.signal(signal.SIGHUP, on_hup)
    for slot in range(args.workers):
        spawn(slot)
    for _ in range(args.workers):
        if not os.read(ready_r, 1):
            break
    if args.ready_file:
        _write_ready(args.ready_file, *address[:2])
    log("{} workers on {}:{}".format(args.workers, *address[:2]))
    status = 0
    while children:
        try:
            pid, code = os.wait()
        except ChildProcessError:
            break
        except InterruptedError:
            continue
        slot = children.pop(pid, None)
        if slot is None:
            continue
        if not stopping:
            log("worker {} exited ({}); starting another".format(pid, code))
            time.sleep(0.5)
            spawn(slot)
        elif code:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
