import json
import socket
import time
import unittest

from rankfixture import (LocalService, client_exchange, client_request,
                         parse_rpc_result, raw_answer)
import faults  # after the fixture, which puts the service on the path

KNOWN = "http://a.com/"


class FaultCase(unittest.TestCase):
    def service(self, mode):
        service = LocalService(fault=mode)
        self.addCleanup(service.close)
        service.store.lookup(KNOWN, "someone")  # a.com ranks 1
        return service

    def full_answer(self, service):
        return raw_answer(service.address, client_request(KNOWN))

    def client(self, service):
        return client_exchange(service.address, client_request(KNOWN))


class NoAnswerTest(FaultCase):
    def test_refuse_closes_before_reading(self):
        service = self.service("refuse")
        try:
            self.assertEqual(self.full_answer(service), b"")
        except ConnectionResetError:
            pass  # closed with our request unread: also a refusal
        time.sleep(0.2)
        self.assertEqual(service.lines, [])
        self.assertEqual(service.store.rank("a.com"), 1)  # nothing recorded

    def test_close_early_reads_then_closes(self):
        service = self.service("close-early")
        self.assertEqual(self.full_answer(service), b"")
        lines = service.wait_lines(1)
        self.assertIn("fault=close-early", lines[0])

    def test_stall_holds_the_connection_without_a_byte(self):
        service = self.service("stall")
        with socket.create_connection(service.address, timeout=5) as s:
            s.sendall(client_request(KNOWN))
            s.settimeout(1.5)
            with self.assertRaises(socket.timeout):
                s.recv(100)
            self.assertEqual(service.lines, [])
        # Once the client gives up, the service lets go and logs it.
        lines = service.wait_lines(1)
        self.assertIn("fault=stall", lines[0])


class BrokenAnswerTest(FaultCase):
    def test_split_sends_the_body_after_the_header_block(self):
        service = self.service("split")
        answer, complete = self.client(service)
        self.assertTrue(complete)
        self.assertTrue(answer.endswith(b"\r\n\r\n"), answer)
        self.assertEqual(parse_rpc_result(answer), b"")
        # The body does follow, for a reader that waits for it.
        self.assertEqual(parse_rpc_result(self.full_answer(service)), b"1")

    def test_split_crlf_cuts_the_blank_line_in_two(self):
        service = self.service("split-crlf")
        with socket.create_connection(service.address, timeout=5) as s:
            s.sendall(client_request(KNOWN))
            time.sleep(0.5)
            first = s.recv(65536)
            rest = b"".join(iter(lambda: s.recv(65536), b""))
        self.assertTrue(first.endswith(b"\r\n") and b"\r\n\r\n" not in first,
                        first)
        self.assertTrue(rest.startswith(b"\r\n{"), rest)
        # The client searches the whole answer, so it still finds the end.
        answer, complete = self.client(service)
        self.assertTrue(complete)
        self.assertEqual(parse_rpc_result(answer), b"1")

    def test_nul_inside_the_body(self):
        service = self.service("nul")
        full = self.full_answer(service)
        head, _, body = full.partition(b"\r\n\r\n")
        self.assertEqual(body.count(b"\0"), 1)
        self.assertIn(b"Content-Length: %d\r\n" % len(body), head + b"\r\n")
        self.assertEqual(parse_rpc_result(full.replace(b"\0", b"")), b"1")
        answer, complete = self.client(service)
        self.assertTrue(complete)
        self.assertEqual(parse_rpc_result(answer), b"")

    def test_garbage_is_not_http(self):
        service = self.service("garbage")
        self.assertEqual(self.full_answer(service), faults.GARBAGE)
        self.assertEqual(self.client(service), (faults.GARBAGE, False))

    def test_huge_header_block(self):
        service = self.service("huge-header")
        full = self.full_answer(service)
        end = full.index(b"\r\n\r\n") + 4
        self.assertEqual(end, faults.HUGE_HEADER_BYTES)
        self.assertTrue(full.startswith(b"HTTP/1.1 200 OK\r\n"))
        self.assertEqual(json.loads(full[end:])["result"], "1")
        answer, complete = self.client(service)
        self.assertTrue(complete)

    def test_number_result(self):
        service = self.service("number-result")
        full = self.full_answer(service)
        self.assertEqual(json.loads(full.partition(b"\r\n\r\n")[2])["result"],
                         1)
        self.assertEqual(parse_rpc_result(full), b"")


class ProbeInEveryModeTest(unittest.TestCase):
    def test_probe_is_quiet(self):
        for mode in faults.MODES:
            with self.subTest(mode), LocalService(fault=mode) as service:
                socket.create_connection(service.address, timeout=5).close()
                time.sleep(0.1)
                self.assertEqual(service.lines, [])


if __name__ == "__main__":
    unittest.main()
