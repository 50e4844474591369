"""The listening socket: one event loop, one task per connection.

A connection costs a task, not a thread, and the number of them is bounded:
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
        self._tasks = set()
        # Connections still reading their request, oldest first.
        self._reading = collections.OrderedDict()
        self._loop = None
        self._stop_event = None
        self._started = threading.Event()
        self._done = threading.Event()

    @property
    def connections(self):
        return len(self._tasks)

    def serve_forever(self, poll_interval=None, on_start=None):
        del poll_interval  # the loop needs no polling
        try:
            asyncio.run(self._serve(on_start))
        finally:
            self._done.set()

    async def _serve(self, on_start):
        self._loop = asyncio.get_running_loop()
        self._stop_event = asyncio.Event()
        server = await asyncio.start_server(self._accept, sock=self.socket,
                                            backlog=BACKLOG)
        if on_start:
            on_start(self._loop)
        self._started.set()
        if self.stopping.is_set():
            self._stop_event.set()
        await self._stop_event.wait()
        server.close()
        # Requests not read whole yet are dropped; answers finish.
        for task in list(self._reading):
            task.cancel()
        if self._tasks:
            await asyncio.wait(list(self._tasks))
        await server.wait_closed()

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

    async def _accept(self, reader, writer):
        task = asyncio.current_task()
        if len(self._tasks) >= self.max_connections:
            if not self._reading:
                writer.transport.abort()
                self.evicted += 1
                return
            oldest, _ = self._reading.popitem(last=False)
            oldest.cancel()
            self.evicted += 1
        self._tasks.add(task)
        try:
            await self._connection(task, reader, writer)
        except (asyncio.CancelledError, ConnectionError, OSError):
            writer.transport.abort()
        except Exception as e:  # one line instead of a traceback; go on
            self.log("{} internal error: {!r}".format(self._peer(writer), e))
            writer.transport.abort()
        finally:
            self._tasks.discard(task)
            self._reading.pop(task, None)

    @staticmethod
    def _peer(writer):
        peer = writer.get_extra_info("peername")
        return peer[0] if peer else "-"

    async def _connection(self, task, reader, writer):
        if self.fault == "refuse":
            writer.close()
            return
        sock = writer.get_extra_info("socket")
        # Answers go out in one send; without Nagle the split modes' parts
        # leave as separate segments.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        started = time.monotonic()
        self._reading[task] = None
        try:
            request = await httpwire.read_request(
                reader, writer, self._loop.time() + self.read_timeout)
        except httpwire.NoRequest:
            writer.close()  # a connectivity probe: nothing to say or log
            return
        except httpwire.BadRequest as e:
            request = None
            status, outcome, what = e.status, rpc.error_answer(
                rpc.HTTP_ERROR, str(e)), "-"
        finally:
            self._reading.pop(task, None)

        if request is not None:
            what = "{} {}".format(request.method, request.target)
            operator = await self._operator(request)
            if operator:
                await self._send_plain(reader, writer, *operator)
                return
            status, outcome = self._dispatch(request)

        body = rpc.encode(faults.reshape(self.fault, outcome.answer))
        head, body = httpwire.frame_answer(
            status, faults.mangle(self.fault, body))
        try:
            await faults.deliver(self.fault, reader, writer, head, body,
                                 self._stop_event)
            sent = ""
        except OSError as e:
            sent = " (answer not delivered: {})".format(e.strerror or e)
        elapsed = time.monotonic() - started
        if self.metrics:
            self.metrics.answered(status, elapsed)
        if self.request_log:
            self.log("{} {} {} {} {}ms{}{}".format(
                self._peer(writer), _printable(what[:200]), status,
                _printable(outcome.note[:300]), int(elapsed * 1000),
                " fault=" + self.fault if self.fault else "", sent))
        await httpwire.close_gracefully(reader, writer)

    def _dispatch(self, request):
        if request.path not in RPC_PATHS:
            return 404, rpc.error_answer(
                rpc.HTTP_ERROR, "no such path; POST JSON-RPC to /rank/")
        if request.method != "POST":
            return 405, rpc.error_answer(
                rpc.HTTP_ERROR, "method {} not allowed; use POST"
                .format(request.method))
        return 200, rpc.handle(request.body, self.store)

    async def _operator(self, request):
        """(status, content type, body) for /healthz and /metrics."""
        if request.method != "GET":
            return None
        if request.path == "/healthz":
            try:
                await self._loop.run_in_executor(None, self.store.backend.ping)
                problem = None
            except Exception as e:
                problem = str(e)
            age = self.store.table_age()
            report = {"store": problem or "ok", "pid": os.getpid(),
                      "table_age_seconds": None if age is None else round(age, 3),
                      "connections": len(self._tasks)}
            return (200 if problem is None else 503, "application/json",
                    json.dumps(report).encode())
        if request.path == "/metrics" and self.metrics:
            content_type, text = self.metrics.exposition()
            return 200, content_type, text
        return None

    async def _send_plain(self, reader, writer, status, content_type, body):
        head, body = httpwire.frame_answer(status, body, content_type)
        writer.write(head + body)
        await httpwire.close_gracefully(reader, writer)
