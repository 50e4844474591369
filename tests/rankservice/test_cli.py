import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import unittest

from rankfixture import (SERVICE, ServiceProcess, client_exchange,
                         client_request, parse_rpc_result)


def rank_of(address, url, uid):
    return parse_rpc_result(client_exchange(address,
                                            client_request(url, uid=uid))[0])


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        d = tempfile.TemporaryDirectory(prefix="rankservice-cli-")
        self.addCleanup(d.cleanup)
        self.dir = d.name

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
            (["--listen", "300.1.2.3"], 3, "bad listen address"),
            # Not an address of this machine (TEST-NET-1); nothing is sent.
            (["--listen", "192.0.2.1"], 3, "cannot listen on 192.0.2.1"),
            (["--port", str(taken.getsockname()[1])], 4,
             "address already in use"),
            (["--db", junk], 5, "cannot open database"),
            (["--import", bad_csv], 6, "bad.csv:2"),
            (["--fault", "sometimes"], 2, "invalid choice"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                # Later options win, so a case overrides the defaults.
                done = subprocess.run(
                    [sys.executable, SERVICE, "--listen", "127.0.0.1",
                     "--port", "0", "--db",
                     os.path.join(self.dir, "ranks.sqlite")] + args,
                    capture_output=True, text=True, timeout=30)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertNotIn("Traceback", done.stderr)

    def test_lookups_survive_a_killed_process(self):
        service = ServiceProcess(self.dir)
        self.addCleanup(service.close)
        uids = ["u%d" % i for i in range(5)]
        for uid in uids:
            rank_of(service.address, "http://kept.example/", uid)
        self.assertEqual(service.close(signal.SIGKILL), -signal.SIGKILL)
        db = sqlite3.connect(os.path.join(self.dir, "ranks.sqlite"))
        try:
            rows = db.execute("SELECT uid, host FROM lookup").fetchall()
        finally:
            db.close()
        self.assertEqual(sorted(rows), [(u, "kept.example") for u in uids])
        again = ServiceProcess(self.dir)
        self.addCleanup(again.close)
        self.assertEqual(rank_of(again.address, "http://kept.example/", "x"),
                         b"1")


if __name__ == "__main__":
    unittest.main()
