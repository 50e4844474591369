"""Reading one HTTP/1.1 request from received bytes and framing the answer.

The toolbar's client sends its whole request in one piece, followed by a
CR LF that Content-Length does not count, and reads the answer only until
the end of its header block. So the body is read strictly by Content-Length
and the answer goes out as one buffer: status line, headers and body.
"""

MAX_HEADER_BYTES = 64 * 1024
MAX_BODY_BYTES = 1024 * 1024

REASONS = {
    200: "OK", 400: "Bad Request", 404: "Not Found",
    405: "Method Not Allowed", 408: "Request Timeout",
    411: "Length Required", 413: "Content Too Large",
    431: "Request Header Fields Too Large", 500: "Internal Server Error",
    501: "Not Implemented",
}


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


def _header_end(buf, start=0):
    """Index just past the blank line ending the header block, or -1."""
    for mark in (b"\r\n\r\n", b"\n\n"):
        i = buf.find(mark, start)
        if i >= 0:
            return i + len(mark)
    return -1


def parse(buf):
    """What the bytes so far make: (None, None) while the header block is
    incomplete, (request, None) once the body is whole, or (None, request)
    while its body is still coming. Raises BadRequest."""
    # Blank lines before the request line are tolerated (RFC 9112 2.2).
    start = len(buf) - len(buf.lstrip(b"\r\n"))
    end = _header_end(buf, start)
    if end < 0:
        if len(buf) - start > MAX_HEADER_BYTES:
            raise BadRequest(431, "header block larger than {} bytes"
                             .format(MAX_HEADER_BYTES))
        return None, None
    request, length = parse_head(bytes(buf[start:end]))
    if len(buf) - end < length:
        request.length = length
        return None, request
    # Anything past Content-Length (the client's closing CR LF) is not ours.
    request.body = bytes(buf[end:end + length])
    return request, None


def incomplete(buf, partial):
    """The complaint about a request that stopped coming, or None when
    nothing came at all (a connectivity probe)."""
    if not buf.strip(b"\r\n"):
        return None
    if partial is None:
        return "no complete header block"
    end = _header_end(buf, len(buf) - len(buf.lstrip(b"\r\n")))
    return "body incomplete after {} of {} bytes".format(len(buf) - end,
                                                        partial.length)


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
