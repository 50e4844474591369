"""Misbehaving deliveries, for testing how the client copes.

In every mode but "refuse" the request is read and handled as usual (the
lookup is recorded); the mode decides only what goes back on the wire.
"""

import socket
import time

MODES = ("refuse", "stall", "close-early", "split", "split-crlf", "nul",
         "garbage", "huge-header", "number-result")

# Long enough that a client reading on a loaded machine sees the first part
# alone, short enough to stay well inside its 10 s time-out.
SPLIT_PAUSE = 1.0
STALL_LIMIT = 120.0
HUGE_HEADER_BYTES = 1024 * 1024
# No NUL (that is its own mode) and no blank line: a client waits for one.
GARBAGE = (b"\x16\x03\x01\x02\xfc\x03\x03 not HTTP at all \xff\xfe\xfd "
           b"SSH-2.0-Nope \x1b[0m\x7f\x80\x81\r\n")


def reshape(mode, answer):
    """The answer object as the mode wants it."""
    if mode == "number-result":
        answer = dict(answer)
        text = answer.get("result") or "0"
        answer["result"] = int(text.replace(",", ""))
    return answer


def mangle(mode, body):
    """The encoded answer body as the mode wants it, before framing."""
    if mode == "nul":
        middle = len(body) // 2
        body = body[:middle] + b"\0" + body[middle:]
    return body


def _huge_head(head):
    filler_needed = HUGE_HEADER_BYTES - len(head)
    line = b"X-Filler: " + b"z" * 1000 + b"\r\n"
    lines = [line] * (filler_needed // len(line))
    rest = filler_needed - len(line) * len(lines)
    if rest:
        # Pad the last line so the block is exactly HUGE_HEADER_BYTES long.
        if rest < len(b"X-F: \r\n"):
            lines[-1] = lines[-1][:-2] + b"z" * rest + b"\r\n"
        else:
            lines.append(b"X-F: " + b"z" * (rest - 7) + b"\r\n")
    status_line, _, others = head.partition(b"\r\n")
    return status_line + b"\r\n" + b"".join(lines) + others


def deliver(mode, sock, head, body, stop):
    """Send the answer the way the mode says; the stop event cuts pauses."""
    if mode in (None, "nul", "number-result"):
        sock.sendall(head + body)
    elif mode == "stall":
        _hold(sock, stop)
    elif mode == "close-early":
        pass
    elif mode == "split":
        sock.sendall(head)
        if stop.wait(SPLIT_PAUSE):
            return
        sock.sendall(body)
    elif mode == "split-crlf":
        sock.sendall(head[:-2])
        if stop.wait(SPLIT_PAUSE):
            return
        sock.sendall(head[-2:] + body)
    elif mode == "garbage":
        sock.sendall(GARBAGE)
    elif mode == "huge-header":
        sock.sendall(_huge_head(head) + body)
    else:
        raise ValueError("unknown fault mode " + mode)


def _hold(sock, stop):
    """Keep the connection open, answering nothing, until the peer leaves."""
    deadline = time.monotonic() + STALL_LIMIT
    sock.settimeout(0.25)
    while not stop.is_set() and time.monotonic() < deadline:
        try:
            if not sock.recv(4096):
                return
        except socket.timeout:
            continue
        except OSError:
            return
