import json
import socket
import unittest

from rankfixture import LocalService, call_body, post, raw_answer, settle
import faults  # noqa: E402  (rankfixture puts the service's folder on the path)

KNOWN = post(call_body("http://a.com/"))


def result_of(answer):
    return json.loads(answer.partition(b"\r\n\r\n")[2].replace(b"\0", b""))["result"]


class FaultTest(unittest.TestCase):
    def service(self, mode):
        service = LocalService(fault=mode)
        self.addCleanup(service.close)
        service.store.lookup("http://a.com/", "someone")
        settle(service.store)  # a.com ranks 1
        return service

    def test_modes(self):
        # mode: what the whole answer says once NULs are dropped (None: no
        # answer at all) and what the first send ends with, when it is apart
        cases = [
            ("split", "1", b"\r\n\r\n"),
            ("split-crlf", "1", b"\r\n"),
            ("nul", "1", None),
            ("huge-header", "1", None),
            ("number-result", 1, None),
            ("garbage", None, None),
            ("close-early", None, None),
        ]
        for mode, result, first_end in cases:
            with self.subTest(mode):
                service = self.service(mode)
                whole = raw_answer(service.address, KNOWN)
                if result is None:
                    self.assertEqual(whole, faults.GARBAGE if mode == "garbage" else b"")
                else:
                    self.assertEqual(result_of(whole), result)
                if first_end:  # the pieces leave as separate sends
                    with socket.create_connection(service.address, 5) as s:
                        s.sendall(KNOWN)
                        first = s.recv(1 << 16)
                    self.assertTrue(first.endswith(first_end), first)
                    if mode == "split-crlf":
                        self.assertFalse(first.endswith(b"\r\n\r\n"), first)
                    self.assertNotEqual(first, whole)
                if mode == "huge-header":
                    self.assertEqual(len(whole.partition(b"\r\n\r\n")[0]) + 4,
                                     faults.HUGE_HEADER_BYTES)
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
        settle(refuse.store)
        self.assertEqual(refuse.store.stats.recorded, 1)  # nothing recorded


if __name__ == "__main__":
    unittest.main()
