import json
import socket
import struct
import time
import unittest
import urllib.error
import urllib.request

from rankfixture import (LocalService, client_body, client_exchange,
                         client_request, parse_rpc_result, raw_answer)


def split_answer(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    return head.decode("latin-1").split("\r\n"), body


def content_length(lines):
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.lower() == "content-length":
            return int(value)
    raise AssertionError("no Content-Length in {}".format(lines))


class ServiceCase(unittest.TestCase):
    fault = None

    def setUp(self):
        self.service = LocalService(fault=self.fault)
        self.address = self.service.address

    def tearDown(self):
        self.service.close()

    def ask(self, url, **kw):
        answer, complete = client_exchange(self.address,
                                           client_request(url, **kw))
        self.assertTrue(complete, answer)
        return answer


class ClientRequestTest(ServiceCase):
    def test_client_reads_rank_from_the_first_read(self):
        self.assertEqual(parse_rpc_result(self.ask("http://a.com/", uid="1")),
                         b"")  # unknown until asked for
        self.ask("http://b.com/", uid="1")
        self.ask("http://a.com/x", uid="2")
        answer = self.ask("http://www.a.com/y?z=1", uid="3", id_=7)
        # The reader stopped at the end of the header block, yet holds the
        # whole body: status line, headers and body left in one send.
        lines, body = split_answer(answer)
        self.assertEqual(lines[0], "HTTP/1.1 200 OK")
        self.assertEqual(len(body), content_length(lines))
        self.assertEqual(json.loads(body)["id"], 7)
        self.assertEqual(parse_rpc_result(answer), b"1")
        self.assertEqual(parse_rpc_result(self.ask("http://b.com/", uid="9")),
                         b"2")

    def test_ansi_bytes_and_raw_control_bytes_in_strings(self):
        # The client writes the user agent in the ANSI code page and leaves
        # bytes such as 0x01 unescaped.
        for uagent in ("Mozilla/4.0 (caf\xe9; \u20ac)", "a\x01b\x7fc"):
            with self.subTest(uagent=uagent):
                answer = self.ask("http://a.com/", uagent=uagent)
                self.assertIn(b'"code":0', answer)
        lines = self.service.wait_lines(2)
        self.assertEqual(len(lines), 2, lines)
        self.assertIn("host=a.com", lines[0])

    def test_one_log_line_per_request(self):
        self.ask("http://a.com/", uid="u1")
        self.ask("http://a.com/", uid="u2")
        lines = self.service.wait_lines(2)
        time.sleep(0.2)
        self.assertEqual(len(self.service.lines), 2, self.service.lines)
        self.assertIn("POST /rank/ 200 rank host=a.com uid=u1 result=-",
                      lines[0])
        self.assertIn("uid=u2 result=1", lines[1])


class ProbeTest(ServiceCase):
    def test_probe_connections_are_taken_quietly(self):
        for linger_reset in (False, True, False):
            s = socket.create_connection(self.address, timeout=5)
            if linger_reset:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                             struct.pack("ii", 1, 0))
            s.close()
        self.ask("http://a.com/")
        lines = self.service.wait_lines(1)
        time.sleep(0.2)
        self.assertEqual(len(self.service.lines), 1, self.service.lines)
        self.assertIn("POST /rank/", lines[0])


class FlatAnswerTest(ServiceCase):
    def check_flat(self, answer, status, code):
        lines, body = split_answer(answer)
        self.assertTrue(lines[0].startswith("HTTP/1.1 %d " % status), lines[0])
        self.assertEqual(len(body), content_length(lines))
        obj = json.loads(body)
        self.assertEqual(obj["version"], "1.0")
        self.assertEqual(obj["code"], code, obj)
        self.assertFalse([v for v in obj.values()
                          if isinstance(v, (dict, list))], obj)
        return obj

    def post(self, body, path=b"/rank/", method=b"POST", extra=b""):
        return raw_answer(self.address, (
            b"%s %s HTTP/1.1\r\nHost: x\r\n%sContent-Length: %d\r\n\r\n"
            % (method, path, extra, len(body))) + body)

    def test_every_answer_is_one_flat_object(self):
        call = client_body("http://a.com/", id_=5)
        cases = [
            (self.post(call), 200, 0),
            (self.post(b"{not json"), 200, 1),
            (self.post(b"[" * 100000), 200, 1),
            (self.post(b"[1,2]"), 200, 2),
            (self.post(call.replace(b'"rank"', b'"rnk"')), 200, 3),
            (self.post(b'{"id":5,"method":"rank","params":{}}'), 200, 4),
            (self.post(b'{"id":5,"method":"rank","params":[{"url":5}]}'),
             200, 4),
            (self.post(call, path=b"/other/"), 404, 6),
            (self.post(call, method=b"PUT"), 405, 6),
            (raw_answer(self.address, b"POST /rank/ HTTP/1.1\r\n\r\n"), 411, 6),
            (raw_answer(self.address, b"HELLO\r\n\r\n"), 400, 6),
            (raw_answer(self.address, b"POST /rank/ HTTP/1.1\r\n"
                        b"Content-Length: 50\r\n\r\n{}"), 400, 6),
            (raw_answer(self.address, b"POST /rank/ HTTP/1.1\r\n"
                        b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n"), 501, 6),
        ]
        for i, (answer, status, code) in enumerate(cases):
            with self.subTest(case=i):
                obj = self.check_flat(answer, status, code)
                if code == 0:
                    self.assertEqual(obj["result"], "")
                    self.assertEqual(obj["id"], 5)
                else:
                    self.assertIsNone(obj["result"])
                    self.assertTrue(obj["error"])
                if 2 < code < 6:
                    self.assertEqual(obj["id"], 5)
        # None of it hurt the service.
        self.assertEqual(parse_rpc_result(self.ask("http://a.com/")), b"1")


class OrdinaryClientTest(ServiceCase):
    def test_urllib_post(self):
        body = json.dumps({"version": "1.0", "id": "abc", "method": "rank",
                           "params": [{"url": "http://caf\u00e9.example/",
                                       "uid": "u"}]}).encode()
        for _ in range(2):
            request = urllib.request.Request(
                "http://%s:%d/rank/" % self.address, data=body,
                headers={"Content-Type": "application/json"})
            with urllib.request.urlopen(request, timeout=5) as reply:
                obj = json.load(reply)
        self.assertEqual((obj["id"], obj["result"]), ("abc", "1"))
        with self.assertRaises(urllib.error.HTTPError) as e:
            urllib.request.urlopen("http://%s:%d/rank/" % self.address,
                                   timeout=5)
        self.assertEqual(e.exception.code, 405)

    def test_request_in_pieces_and_expect_continue(self):
        body = client_body("http://a.com/")
        head = (b"POST /rank/ HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                b"Content-Length: %d\r\n\r\n" % len(body))
        with socket.create_connection(self.address, timeout=5) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for i in range(0, len(head), 7):
                s.sendall(head[i:i + 7])
                time.sleep(0.005)
            self.assertEqual(s.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(body[:10])
            time.sleep(0.05)
            s.sendall(body[10:])
            s.shutdown(socket.SHUT_WR)
            answer = b"".join(iter(lambda: s.recv(4096), b""))
        self.assertIn(b'"code":0', answer)

    def test_connections_are_served_at_once(self):
        # A slow client holding its connection open does not hold up others.
        with socket.create_connection(self.address, timeout=5) as slow:
            slow.sendall(b"POST /rank/ HTTP/1.1\r\nHost: x\r\n")
            started = time.monotonic()
            self.ask("http://a.com/")
            self.assertLess(time.monotonic() - started, 5)


if __name__ == "__main__":
    unittest.main()
