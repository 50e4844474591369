import json
import unittest

from rankfixture import LocalService, call_body, post, raw_answer


def split_answer(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    length = [int(x.split(":")[1]) for x in lines
              if x.lower().startswith("content-length:")]
    return lines[0], length, body


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.service = LocalService()
        self.addCleanup(self.service.close)
        self.address = self.service.address

    def test_every_answer_is_one_flat_object(self):
        call = call_body("http://a.com/", id_=5)
        cases = [  # request, status, code
            (post(call), 200, 0),
            # ANSI-code-page bytes and raw control bytes, as the client sends.
            (post(call.replace(b"MSIE 8.0", b"caf\xe9 \x80\x01\x7f")), 200, 0),
            # Header lines split only at LF.
            (post(call, extra=b"User-Agent: a\x85b\x0bc\r\n"), 200, 0),
            (post(b"{not json"), 200, 1),
            (post(b"[" * 100000), 200, 1),
            (post(b"[1,2]"), 200, 2),
            (post(call.replace(b'"rank"', b'"rnk"')), 200, 3),
            (post(b'{"id":5,"method":"rank","params":{}}'), 200, 4),
            (post(b'{"id":5,"method":"rank","params":[{"url":5}]}'), 200, 4),
            (post(call, path=b"/other/"), 404, 6),
            (post(call, method=b"PUT"), 405, 6),
            (b"POST /rank/ HTTP/1.1\r\n\r\n", 411, 6),
            (b"HELLO\r\n\r\n", 400, 6),
            (b"POST /rank/ HTTP/1.1\r\nContent-Length: 50\r\n\r\n{}", 400, 6),
            (b"POST /rank/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
             b"0\r\n\r\n", 501, 6),
        ]
        for i, (request, status, code) in enumerate(cases):
            with self.subTest(case=i):
                line, length, body = split_answer(
                    raw_answer(self.address, request))
                self.assertTrue(line.startswith("HTTP/1.1 %d " % status), line)
                self.assertEqual(length, [len(body)])
                obj = json.loads(body)
                self.assertEqual((obj["version"], obj["code"]), ("1.0", code))
                self.assertFalse([v for v in obj.values()
                                  if isinstance(v, (dict, list))], obj)
                self.assertEqual(obj["id"], 5 if code in (0, 3, 4) else None)
                self.assertEqual(obj["result"] is None, code != 0)


if __name__ == "__main__":
    unittest.main()
