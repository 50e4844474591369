import json
import socket
import time
import unittest

from rankfixture import (LocalService, client_exchange, client_request,
                         parse_rpc_result, raw_answer)
import faults  # after the fixture, which puts the service on the path

KNOWN = client_request("http://a.com/")


def body_of(answer):
    return answer.partition(b"\r\n\r\n")[2]


def first_read(address):
    with socket.create_connection(address, timeout=5) as s:
        s.sendall(KNOWN)
        return s.recv(1 << 21)


class FaultTest(unittest.TestCase):
    def service(self, mode):
        service = LocalService(fault=mode)
        self.addCleanup(service.close)
        service.store.lookup("http://a.com/", "someone")  # a.com ranks 1
        return service

    def test_modes(self):
        # (whole answer, the client's reading of it, the first read) -> checks
        def split(full, client, early):
            self.assertTrue(early.endswith(b"\r\n\r\n"), early)
            self.assertEqual(client, (early, True))
            self.assertEqual(parse_rpc_result(full), b"1")

        def split_crlf(full, client, early):
            self.assertTrue(early.endswith(b"\r\n") and b"\r\n\r\n" not in
                            early, early)
            self.assertEqual(client, (full, True))  # the end is still found
            self.assertEqual(parse_rpc_result(full), b"1")

        def nul(full, client, early):
            self.assertEqual(body_of(full).count(b"\0"), 1)
            self.assertIn(b"Content-Length: %d\r\n" % len(body_of(full)), full)
            self.assertEqual(parse_rpc_result(full.replace(b"\0", b"")), b"1")
            self.assertEqual(parse_rpc_result(client[0]), b"")

        def garbage(full, client, early):
            self.assertEqual(client, (faults.GARBAGE, False))

        def huge(full, client, early):
            self.assertEqual(full.index(b"\r\n\r\n") + 4,
                             faults.HUGE_HEADER_BYTES)
            self.assertEqual(json.loads(body_of(full))["result"], "1")
            self.assertTrue(client[1])

        def number(full, client, early):
            self.assertEqual(json.loads(body_of(full))["result"], 1)
            self.assertEqual(parse_rpc_result(client[0]), b"")

        def nothing(full, client, early):
            self.assertEqual((full, client, early), (b"", (b"", False), b""))

        for mode, check in [("split", split), ("split-crlf", split_crlf),
                            ("nul", nul), ("garbage", garbage),
                            ("huge-header", huge), ("number-result", number),
                            ("close-early", nothing)]:
            with self.subTest(mode):
                service = self.service(mode)
                check(raw_answer(service.address, KNOWN),
                      client_exchange(service.address, KNOWN),
                      first_read(service.address))
                self.assertIn("fault=" + mode, service.wait_lines(3)[-1])

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
