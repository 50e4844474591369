"""Reading one HTTP/1.1 request off a socket and framing the answer.

The toolbar's client sends its whole request in one piece, followed by a
CR LF that Content-Length does not count, and reads the answer only until
the end of its header block. So the body is read strictly by Content-Length
and the answer goes out as one buffer: status line, headers and body.
"""

import asyncio

MAX_HEADER_BYTES = 64 * 1024
MAX_BODY_BYTES = 1024 * 1024

REASONS = {
    200: "OK", 400: "Bad Request", 404: "Not Found",
    405: "Method Not Allowed", 408: "Request Timeout",
    411: "Length Required", 413: "Content Too Large",
    431: "Request Header Fields Too Large", 500: "Internal Server Error",
    501: "Not Implemented",
}


class NoRequest(Exception):
    """The peer closed, or went quiet, before sending a single byte.

    This is what a connectivity probe looks like; it is not an error.
    """


class BadRequest(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Request:
    def __init__(self, method, target, version, headers, body):
        self.method = method
        self.target = target
        self.version = version
        self.headers = headers
        self.body = body

    @property
    def path(self):
        target = self.target
        if "://" in target:  # absolute form, as a proxy-minded client sends
            target = "/" + target.split("://", 1)[1].partition("/")[2]
        return target.split("?", 1)[0].split("#", 1)[0]


def _header_end(buf):
    """Index just past the blank line ending the header block, or -1."""
    for mark in (b"\r\n\r\n", b"\n\n"):
        i = buf.find(mark)
        if i >= 0:
            return i + len(mark)
    return -1


async def read_request(reader, writer, deadline):
    """One request from an asyncio stream; deadline (loop time) bounds the
    whole request, so a client trickling bytes cannot hold it for long."""
    loop = asyncio.get_running_loop()

    async def receive(size):
        left = deadline - loop.time()
        if left <= 0:
            raise asyncio.TimeoutError()
        try:
            return await asyncio.wait_for(reader.read(size), left)
        except ConnectionResetError:
            return b""

    buf = b""
    while True:
        # Blank lines before the request line are tolerated (RFC 9112 2.2).
        buf = buf.lstrip(b"\r\n")
        end = _header_end(buf)
        if end >= 0:
            break
        if len(buf) > MAX_HEADER_BYTES:
            raise BadRequest(431, "header block larger than {} bytes"
                             .format(MAX_HEADER_BYTES))
        try:
            chunk = await receive(65536)
        except asyncio.TimeoutError:
            if not buf:
                raise NoRequest()
            raise BadRequest(408, "no complete header block in time")
        if not chunk:
            if not buf:
                raise NoRequest()
            raise BadRequest(400, "connection closed inside the header block")
        buf += chunk

    request, length = parse_head(buf[:end])
    rest = buf[end:]
    if len(rest) < length and \
            request.headers.get("expect", "").lower() == "100-continue":
        writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
    while len(rest) < length:
        try:
            chunk = await receive(min(65536, length - len(rest)))
        except asyncio.TimeoutError:
            raise BadRequest(408, "body incomplete after {} of {} bytes"
                             .format(len(rest), length))
        if not chunk:
            raise BadRequest(400, "connection closed after {} of {} body bytes"
                             .format(len(rest), length))
        rest += chunk
    # Anything past Content-Length (the client's closing CR LF) is not ours.
    request.body = rest[:length]
    return request


def parse_head(head):
    """The request of a header block, and its body's length."""
    # Only LF ends a line; splitlines() would also break at bytes such as
    # 0x85 that may stand inside a value.
    lines = [x.rstrip("\r") for x in head.decode("latin-1").split("\n")]
    parts = lines[0].split()
    if len(parts) != 3 or not parts[2].startswith("HTTP/"):
        raise BadRequest(400, "bad request line {!r}".format(lines[0][:80]))
    method, target, version = parts
    headers = {}
    for line in lines[1:]:
        if not line:
            continue
        name, colon, value = line.partition(":")
        if not colon or not name or name != name.strip():
            raise BadRequest(400, "bad header line {!r}".format(line[:80]))
        name, value = name.lower(), value.strip()
        if name in headers and name == "content-length" \
                and headers[name] != value:
            raise BadRequest(400, "conflicting Content-Length")
        headers[name] = value

    if "transfer-encoding" in headers:
        raise BadRequest(501, "only bodies sized by Content-Length are read")
    length = headers.get("content-length")
    if length is None:
        if method == "POST":
            raise BadRequest(411, "POST without Content-Length")
        length = "0"
    if not length.isdigit():
        raise BadRequest(400, "bad Content-Length {!r}".format(length[:20]))
    length = int(length)
    if length > MAX_BODY_BYTES:
        raise BadRequest(413, "body larger than {} bytes".format(MAX_BODY_BYTES))
    return Request(method, target, version, headers, b""), length


def frame_answer(status, body, content_type="application/json", extra=()):
    """Status line and headers as one bytes object, and the body."""
    lines = ["HTTP/1.1 {} {}".format(status, REASONS.get(status, "Unknown")),
             "Content-Type: " + content_type,
             "Content-Length: {}".format(len(body)),
             "Connection: close"]
    lines.extend(extra)
    head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
    return head, body


async def close_gracefully(reader, writer, drain_seconds=2.0,
                           drain_bytes=64 * 1024):
    """Half-close, then read what the peer still sends before closing.

    Closing with unread bytes (the client's trailing CR LF) makes the kernel
    send a reset, which may destroy the answer before the client reads it.
    """
    loop = asyncio.get_running_loop()
    deadline = loop.time() + drain_seconds
    try:
        await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()
        while drain_bytes > 0:
            left = deadline - loop.time()
            if left <= 0:
                break
            chunk = await asyncio.wait_for(reader.read(min(4096, drain_bytes)),
                                           left)
            if not chunk:
                break
            drain_bytes -= len(chunk)
    except (OSError, asyncio.TimeoutError):
        pass
    finally:
        writer.close()
