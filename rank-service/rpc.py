"""The JSON-RPC 1.0 "rank" method and its answers.

The client reads answers with patterns that take the first brace-delimited
span holding each member, so every answer is one flat object: "version",
"code", "id", "result" and "error" side by side, nothing nested.
"""

import json

from rankstore import StoreError

# "code" values; 0 is the only one with a usable result.
OK = 0
PARSE_ERROR = 1
INVALID_REQUEST = 2
METHOD_NOT_FOUND = 3
INVALID_PARAMS = 4
INTERNAL_ERROR = 5
HTTP_ERROR = 6

PARAM_NAMES = ("url", "ref", "uid", "uagent", "lang")


class Outcome:
    """An answer object and what the log line says about it."""

    def __init__(self, answer, note):
        self.answer = answer
        self.note = note


def _answer(code, id_, result, error):
    return {"version": "1.0", "code": code, "id": id_,
            "result": result, "error": error}


def error_answer(code, message, id_=None):
    return Outcome(_answer(code, id_, None, message),
                   "error={} {}".format(code, message))


def encode(answer):
    return json.dumps(answer, separators=(",", ":")).encode("ascii")


def _decode(body):
    # The client writes its texts in the Windows ANSI code page, not UTF-8.
    try:
        return body.decode("utf-8")
    except UnicodeDecodeError:
        return body.decode("latin-1")


def handle(body, store):
    try:
        # strict=False: the client leaves control bytes in strings unescaped.
        call = json.loads(_decode(body), strict=False)
    except ValueError as e:
        return error_answer(PARSE_ERROR, "bad JSON: {}".format(e))
    except RecursionError:
        return error_answer(PARSE_ERROR, "bad JSON: nested too deeply")
    if not isinstance(call, dict) or not isinstance(call.get("method"), str):
        return error_answer(INVALID_REQUEST, "not a JSON-RPC call")
    id_ = call.get("id")
    if isinstance(id_, (dict, list)):
        id_ = None
    method = call["method"]
    if method != "rank":
        return error_answer(METHOD_NOT_FOUND,
                            "no method {!r}".format(method[:40]), id_)
    params = call.get("params")
    if not (isinstance(params, list) and params
            and isinstance(params[0], dict)):
        return error_answer(INVALID_PARAMS,
                            "params must be [{url, ref, uid, uagent, lang}]",
                            id_)
    fields = {name: params[0].get(name, "") for name in PARAM_NAMES}
    if not all(isinstance(v, str) for v in fields.values()):
        return error_answer(INVALID_PARAMS, "params must be strings", id_)
    try:
        host, result = store.lookup(fields["url"], fields["uid"])
    except StoreError as e:
        return error_answer(INTERNAL_ERROR, str(e), id_)
    return Outcome(_answer(OK, id_, result, None),
                   "rank host={} uid={} result={}".format(
                       host or "-", fields["uid"] or "-", result or "-"))
