import socket
import unittest

from rankfixture import (LocalService, client_exchange, client_request,
                         parse_rpc_result, raw_answer)

KNOWN = client_request("http://a.com/")


class FaultTest(unittest.TestCase):
    def service(self, mode):
        service = LocalService(fault=mode)
        self.addCleanup(service.close)
        service.store.lookup("http://a.com/", "someone")  # a.com ranks 1
        return service

    def test_modes(self):
        # mode: the client's reading (complete, result), the whole answer's
        # result once NULs are dropped, and what the first read ends with
        cases = [
            ("split", True, b"", b"1", b"\r\n\r\n"),
            ("split-crlf", True, b"1", b"1", b"\r\n"),
            ("nul", True, b"", b"1", None),
            ("garbage", False, b"", b"", None),
            ("huge-header", True, b"1", b"1", None),
            ("number-result", True, b"", b"", None),
            ("close-early", False, b"", b"", None),
        ]
        for mode, complete, result, whole_result, first_end in cases:
            with self.subTest(mode):
                service = self.service(mode)
                answer, done = client_exchange(service.address, KNOWN)
                self.assertEqual((done, parse_rpc_result(answer)),
                                 (complete, result))
                whole = raw_answer(service.address, KNOWN)
                self.assertEqual(parse_rpc_result(whole.replace(b"\0", b"")),
                                 whole_result)
                if first_end:  # the pieces leave as separate sends
                    with socket.create_connection(service.address, 5) as s:
                        s.sendall(KNOWN)
                        first = s.recv(1 << 16)
                    self.assertTrue(first.endswith(first_end), first)
                    self.assertNotEqual(first, whole)
                self.assertIn("fault=" + mode, service.wait_lines(2)[-1])
        head, _, body = raw_answer(self.service("nul").address,
                                   KNOWN).partition(b"\r\n\r\n")
        self.assertEqual(body.count(b"\0"), 1)
        self.assertIn(b"Content-Length: %d\r\n" % len(body), head)

    def test_refuse_and_stall_answer_nothing(self):
        refuse = self.service("refuse")
        try:
            self.assertEqual(raw_answer(refuse.address, KNOWN), b"")
        except OSError:
            pass  # reset for the request it did not read: also a refusal
        stall = self.service("stall")
        with socket.create_connection(stall.address, timeout=5) as s:
            s.sendall(KNOWN)
            s.settimeout(1.5)
            self.assertRaises(socket.timeout, s.recv, 100)
        self.assertIn("fault=stall", stall.wait_lines(1)[0])
        self.assertEqual(refuse.lines, [])
        self.assertEqual(refuse.store.rank("a.com"), 1)  # nothing recorded


if __name__ == "__main__":
    unittest.main()
