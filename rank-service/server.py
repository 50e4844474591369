"""The listening socket: one thread per connection, one log line per request."""

import socket
import socketserver
import sys
import threading
import time

import faults
import httpwire
import rpc

RPC_PATHS = ("/rank/", "/rank")
READ_TIMEOUT = 10.0


def _printable(text):
    return "".join(c if c.isprintable() else "?" for c in text)


class _Connection(socketserver.BaseRequestHandler):
    def handle(self):
        server = self.server
        sock = self.request
        if server.fault == "refuse":
            return  # socketserver closes it at once
        sock.settimeout(READ_TIMEOUT)
        # Answers go out in one send; without Nagle the split modes' parts
        # leave as separate segments.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        started = time.monotonic()
        try:
            request = httpwire.read_request(sock)
        except httpwire.NoRequest:
            return  # a connectivity probe: nothing to say, nothing to log
        except httpwire.BadRequest as e:
            status, outcome, what = e.status, rpc.error_answer(
                rpc.HTTP_ERROR, str(e)), "-"
        else:
            what = "{} {}".format(request.method, request.target)
            status, outcome = self._dispatch(request)

        body = rpc.encode(faults.reshape(server.fault, outcome.answer))
        head, body = httpwire.frame_answer(
            status, faults.mangle(server.fault, body))
        try:
            faults.deliver(server.fault, sock, head, body, server.stopping)
            sent = ""
        except OSError as e:
            sent = " (answer not delivered: {})".format(e.strerror or e)
        elapsed = int((time.monotonic() - started) * 1000)
        server.log("{} {} {} {} {}ms{}{}".format(
            self.client_address[0], _printable(what[:200]), status,
            _printable(outcome.note[:300]), elapsed,
            " fault=" + server.fault if server.fault else "", sent))
        httpwire.close_gracefully(sock)

    def _dispatch(self, request):
        if request.path not in RPC_PATHS:
            return 404, rpc.error_answer(
                rpc.HTTP_ERROR, "no such path; POST JSON-RPC to /rank/")
        if request.method != "POST":
            return 405, rpc.error_answer(
                rpc.HTTP_ERROR, "method {} not allowed; use POST"
                .format(request.method))
        return 200, rpc.handle(request.body, self.server.store)


class RankServer(socketserver.ThreadingTCPServer):
    # Closing joins the connection threads, so a stop lets answers in flight
    # finish and log; every wait in a connection is bounded or cut by stop.
    daemon_threads = False
    block_on_close = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, store, fault=None, log=print):
        if fault is not None and fault not in faults.MODES:
            raise ValueError("unknown fault mode {!r}".format(fault))
        self.store = store
        self.fault = fault
        self.log = log
        self.stopping = threading.Event()
        super().__init__(address, _Connection)

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()

    def handle_error(self, request, client_address):
        # One line instead of socketserver's traceback; the service goes on.
        e = sys.exc_info()[1]
        if isinstance(e, (ConnectionError, socket.timeout)):
            return
        self.log("{} internal error: {!r}".format(client_address[0], e))
