import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import unittest

from rankfixture import (SERVICE, ServiceProcess, client_exchange,
                         client_request, free_loopback, parse_rpc_result)


def rank_of(address, url, uid):
    answer, complete = client_exchange(address, client_request(url, uid=uid))
    assert complete, answer
    return parse_rpc_result(answer)


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="rankservice-cli-")
        self.dir = self._dir.name
        self.addCleanup(self._dir.cleanup)

    def start(self, *args, **kw):
        service = ServiceProcess(self.dir, *args, **kw)
        self.addCleanup(service.close)
        return service

    def run_service(self, *args, listen="127.0.0.1", port="0"):
        return subprocess.run(
            [sys.executable, SERVICE, "--listen", listen, "--port", port,
             "--db", os.path.join(self.dir, "ranks.sqlite")] + list(args),
            capture_output=True, text=True, timeout=30)

    @unittest.skipUnless(os.geteuid() == 0, "port 80 needs root")
    def test_port_80_on_an_own_loopback_address(self):
        csv = os.path.join(self.dir, "ranks.csv")
        with open(csv, "w") as f:
            f.write("host,rank\nbig.example,1234\n")
        service = self.start("--import", csv, listen=free_loopback(), port=80)
        self.assertEqual(service.address[1], 80)
        self.assertEqual(rank_of(service.address, "http://big.example/", "u"),
                         b"1,234")
        self.assertEqual(service.close(), 0)
        log = service.output()
        self.assertIn("imported 1 ranked hosts", log)
        self.assertIn("listening on %s:80" % service.address[0], log)
        self.assertIn("host=big.example uid=u result=1,234", log)
        self.assertTrue(log.rstrip().endswith("stopped"), log)

    def test_error_exits(self):
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        junk = os.path.join(self.dir, "junk.sqlite")
        with open(junk, "wb") as f:
            f.write(b"\x01" * 4096)
        bad_csv = os.path.join(self.dir, "bad.csv")
        with open(bad_csv, "w") as f:
            f.write("a.com,1\nb.com,x\n")
        cases = [
            (["--listen", "not an address"], 3, "bad listen address"),
            (["--listen", "300.1.2.3"], 3, "bad listen address"),
            # Not an address of this machine (TEST-NET-1); nothing is sent.
            (["--listen", "192.0.2.1"], 3, "cannot listen on 192.0.2.1"),
            (["--port", str(taken.getsockname()[1])], 4,
             "address already in use"),
            (["--db", self.dir], 5, "cannot open database"),
            (["--db", junk], 5, "cannot open database"),
            (["--import", bad_csv], 6, "bad.csv:2"),
            (["--import", os.path.join(self.dir, "none.csv")], 6,
             "cannot read"),
            (["--fault", "sometimes"], 2, "invalid choice"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                # Later options win, so a case overrides the defaults.
                done = self.run_service(*args)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertNotIn("Traceback", done.stderr)

    def test_lookups_survive_a_killed_process(self):
        service = self.start()
        uids = ["u%d" % i for i in range(5)]
        for uid in uids:
            rank_of(service.address, "http://kept.example/", uid)
        service.close(signal.SIGKILL)
        self.assertEqual(service.proc.returncode, -signal.SIGKILL)
        db = sqlite3.connect(os.path.join(self.dir, "ranks.sqlite"))
        try:
            rows = db.execute("SELECT uid, host FROM lookup").fetchall()
        finally:
            db.close()
        self.assertEqual(sorted(rows), [(u, "kept.example") for u in uids])
        again = self.start()
        self.assertEqual(rank_of(again.address, "http://kept.example/", "x"),
                         b"1")


if __name__ == "__main__":
    unittest.main()
