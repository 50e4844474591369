"""The listening socket: one event loop, a protocol object per connection.

A connection costs a small object, not a thread, and their number is bounded:
past the bound the oldest connection still sending its request is dropped,
so a flood of half-sent requests cannot starve the clients that complete
theirs, and every request has a deadline for arriving whole.
"""

import asyncio
import collections
import json
import os
import socket
import threading
import time

import faults
import httpwire
import rpc

RPC_PATHS = ("/rank/", "/rank")
READ_TIMEOUT = 10.0
MAX_CONNECTIONS = 1024
BACKLOG = 1024


def _printable(text):
    return "".join(c if c.isprintable() else "?" for c in text)


def listening_socket(address, reuse_port=False):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if reuse_port:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind(address)
        sock.listen(BACKLOG)
    except BaseException:
        sock.close()
        raise
    return sock


class RankServer:
    """Serves rank calls, /healthz and /metrics on a bound socket.

    serve_forever() runs the loop in the calling thread until stop(), from
    any thread. Stopping finishes the answers in flight.
    """

    def __init__(self, address, store, fault=None, log=print, sock=None,
                 max_connections=MAX_CONNECTIONS, read_timeout=READ_TIMEOUT,
                 request_log=True, metrics=None):
        if fault is not None and fault not in faults.MODES:
            raise ValueError("unknown fault mode {!r}".format(fault))
        self.store = store
        self.fault = fault
        self.log = log
        self.request_log = request_log
        self.metrics = metrics
        if metrics:
            metrics.server = self
        self.max_connections = max_connections
        self.read_timeout = read_timeout
        self.socket = sock if sock is not None else listening_socket(address)
        self.server_address = self.socket.getsockname()
        self.stopping = threading.Event()
        self.evicted = 0
        self._connections = set()
        # Connections still reading their request, oldest first.
        self._reading = collections.OrderedDict()
        self._loop = None
        self._stop_event = None
        self._all_closed = None
        self._started = threading.Event()
        self._done = threading.Event()

    @property
    def connections(self):
        return len(self._connections)

    def serve_forever(self, poll_interval=None, on_start=None):
        del poll_interval  # the loop needs no polling
        try:
            asyncio.run(self._serve(on_start))
        finally:
            self._done.set()

    async def _serve(self, on_start):
        self._loop = asyncio.get_running_loop()
        self._stop_event = asyncio.Event()
        self._all_closed = asyncio.Event()
        server = await self._loop.create_server(
            lambda: _Connection(self), sock=self.socket, backlog=BACKLOG)
        if on_start:
            on_start(self._loop)
        self._started.set()
        if self.stopping.is_set():
            self._stop_event.set()
        await self._stop_event.wait()
        server.close()
        # Requests not read whole yet are dropped; answers finish.
        for connection in list(self._reading):
            connection.transport.abort()
        if self._connections:
            await self._all_closed.wait()

    def stop_soon(self):
        """From the loop's thread (a signal handler)."""
        self.stopping.set()
        self._stop_event.set()

    def stop(self):
        """From another thread: stops and waits for the loop to end."""
        self.stopping.set()
        if self._started.wait(5) and not self._done.is_set():
            self._loop.call_soon_threadsafe(self._stop_event.set)
            self._done.wait()
        self.server_close()

    def server_close(self):
        self.socket.close()

    def _connection_made(self, connection):
        if len(self._connections) >= self.max_connections:
            if not self._reading:
                connection.transport.abort()
                self.evicted += 1
                return False
            oldest, _ = self._reading.popitem(last=False)
            oldest.transport.abort()
            self.evicted += 1
        self._connections.add(connection)
        self._reading[connection] = None
        return True

    def _connection_lost(self, connection):
        self._connections.discard(connection)
        self._reading.pop(connection, None)
        if self._stop_event.is_set() and not self._connections:
            self._all_closed.set()

    def dispatch(self, request):
        if request.path not in RPC_PATHS:
            return 404, rpc.error_answer(
                rpc.HTTP_ERROR, "no such path; POST JSON-RPC to /rank/")
        if request.method != "POST":
            return 405, rpc.error_answer(
                rpc.HTTP_ERROR, "method {} not allowed; use POST"
                .format(request.method))
        return 200, rpc.handle(request.body, self.store)

    def is_operator(self, request):
        return request.method == "GET" and (
            request.path == "/healthz"
            or request.path == "/metrics" and self.metrics is not None)

    async def operator(self, request):
        """(status, content type, body) for /healthz and /metrics."""
        if request.path == "/metrics":
            content_type, text = self.metrics.exposition()
            return 200, content_type, text
        try:
            await self._loop.run_in_executor(None, self.store.backend.ping)
            problem = None
        except Exception as e:
            problem = str(e)
        age = self.store.table_age()
        report = {"store": problem or "ok", "pid": os.getpid(),
                  "table_age_seconds": None if age is None else round(age, 3),
                  "connections": len(self._connections)}
        return (200 if problem is None else 503, "application/json",
                json.dumps(report).encode())


class _Connection(asyncio.Protocol):
    """One request, one answer, then a graceful close.

    The common answer is written from data_received with no task; a fault
    mode that pauses, and the health check, get a task of their own.
    """

    DRAIN_SECONDS = 2.0
    DRAIN_BYTES = 64 * 1024

    def __init__(self, server):
        self.server = server
        self.transport = None
        self.buf = bytearray()
        self.partial = None
        self.reading = True
        self.draining = False
        self.drained = 0
        self.timer = None
        self.task = None
        self.gone = asyncio.Event()
        self.started = time.monotonic()

    def connection_made(self, transport):
        self.transport = transport
        server = self.server
        if not server._connection_made(self):
            return
        if server.fault == "refuse":
            transport.close()
            return
        # Answers go out in one send; without Nagle the split modes' parts
        # leave as separate segments.
        sock = transport.get_extra_info("socket")
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.timer = server._loop.call_later(server.read_timeout, self._expired)

    def connection_lost(self, exc):
        self.gone.set()
        if self.timer:
            self.timer.cancel()
        self.server._connection_lost(self)

    def data_received(self, data):
        if self.draining:
            self.drained += len(data)
            if self.drained > self.DRAIN_BYTES:
                self.transport.close()
            return
        if not self.reading:
            return
        self.buf += data
        try:
            request, partial = httpwire.parse(self.buf)
        except httpwire.BadRequest as e:
            self._bad(e.status, str(e))
            return
        if partial is not None and self.partial is None:
            self.partial = partial
            if partial.headers.get("expect", "").lower() == "100-continue":
                self.transport.write(b"HTTP/1.1 100 Continue\r\n\r\n")
        if request is not None:
            self._request(request)

    def eof_received(self):
        if self.reading:
            problem = httpwire.incomplete(self.buf, self.partial)
            if problem is None:
                self._quiet_close()
            elif self.partial is None:
                self._bad(400, "connection closed inside the header block")
            else:
                self._bad(400, problem.replace("incomplete", "closed"))
        else:
            self.gone.set()  # a stalled answer stops holding
            if self.draining:
                self.transport.close()
        return True  # the answer may still be going out

    def _expired(self):
        self.timer = None
        if self.reading:
            problem = httpwire.incomplete(self.buf, self.partial)
            if problem is None:
                self._quiet_close()  # a connectivity probe gone quiet
            else:
                self._bad(408, problem + " in time")
        else:
            self.transport.close()

    def _quiet_close(self):
        self.reading = False
        self.transport.close()

    def _stop_reading(self):
        self.reading = False
        self.server._reading.pop(self, None)
        if self.timer:
            self.timer.cancel()
            self.timer = None

    def _bad(self, status, message):
        self._stop_reading()
        self._answer(status, rpc.error_answer(rpc.HTTP_ERROR, message), "-")

    def _request(self, request):
        self._stop_reading()
        what = "{} {}".format(request.method, request.target)
        if self.server.is_operator(request):
            self.task = asyncio.ensure_future(self._operator(request))
            return
        status, outcome = self.server.dispatch(request)
        self._answer(status, outcome, what)

    async def _operator(self, request):
        status, content_type, body = await self.server.operator(request)
        head, body = httpwire.frame_answer(status, body, content_type)
        self.transport.write(head + body)
        self._close_gracefully()

    def _answer(self, status, outcome, what):
        server = self.server
        fault = server.fault
        body = rpc.encode(faults.reshape(fault, outcome.answer))
        head, body = httpwire.frame_answer(status, faults.mangle(fault, body))
        data = faults.at_once(fault, head, body)
        if data is not None:
            if data:
                self.transport.write(data)
            self._answered(status, outcome, what)
        else:
            self.task = asyncio.ensure_future(
                self._deliver(status, outcome, what, head, body))

    async def _deliver(self, status, outcome, what, head, body):
        await faults.deliver(self.server.fault, self._send, head, body,
                             self.server._stop_event, self.gone)
        self._answered(status, outcome, what)

    def _send(self, data):
        if not self.transport.is_closing():
            self.transport.write(data)

    def _answered(self, status, outcome, what):
        server = self.server
        elapsed = time.monotonic() - self.started
        if server.metrics:
            server.metrics.answered(status, elapsed)
        if server.request_log:
            peer = self.transport.get_extra_info("peername")
            server.log("{} {} {} {} {}ms{}".format(
                peer[0] if peer else "-", _printable(what[:200]), status,
                _printable(outcome.note[:300]), int(elapsed * 1000),
                " fault=" + server.fault if server.fault else ""))
        self._close_gracefully()

    def _close_gracefully(self):
        """Half-close, then read what the peer still sends before closing.

        Closing with unread bytes (the client's trailing CR LF) makes the
        kernel send a reset, which may destroy the answer before the client
        reads it.
        """
        transport = self.transport
        if transport.is_closing():
            return
        self.draining = True
        try:
            if transport.can_write_eof():
                transport.write_eof()
        except OSError:
            self.gone.set()  # the peer reset the connection
        if self.gone.is_set():
            transport.close()
            return
        if self.timer:
            self.timer.cancel()
        self.timer = self.server._loop.call_later(self.DRAIN_SECONDS,
                                                  transport.close)
