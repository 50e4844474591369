"""Misbehaving deliveries, for testing how the client copes.

In every mode but "refuse" the request is read and handled as usual (the
lookup is recorded); the mode decides only what goes back on the wire.
"""

import asyncio

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


async def _pause(stop, seconds):
    """True when the service stops during the pause."""
    try:
        await asyncio.wait_for(stop.wait(), seconds)
        return True
    except asyncio.TimeoutError:
        return False


def at_once(mode, head, body):
    """The bytes to send at once, b"" for none, or None when the mode needs
    pauses (deliver)."""
    if mode in (None, "nul", "number-result"):
        return head + body
    if mode == "close-early":
        return b""
    if mode == "garbage":
        return GARBAGE
    if mode == "huge-header":
        return _huge_head(head) + body
    return None


async def deliver(mode, send, head, body, stop, gone):
    """Send the answer of a mode that pauses; the stop event cuts pauses,
    the gone event tells that the peer closed."""
    if mode == "stall":
        # Keep the connection open, answering nothing, until the peer leaves.
        waits = [asyncio.ensure_future(e.wait()) for e in (stop, gone)]
        await asyncio.wait(waits, timeout=STALL_LIMIT,
                           return_when=asyncio.FIRST_COMPLETED)
        for w in waits:
            w.cancel()
    elif mode in ("split", "split-crlf"):
        # split-crlf: up to the first CR LF of the blank line, then the rest
        cut = len(head) if mode == "split" else len(head) - 2
        data = head + body
        send(data[:cut])
        if not await _pause(stop, SPLIT_PAUSE):
            send(data[cut:])
    else:
        raise ValueError("unknown fault mode " + mode)
