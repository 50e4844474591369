import os
import socket
import subprocess
import sys
import tempfile
import unittest

from rankfixture import SERVICE


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


if __name__ == "__main__":
    unittest.main()
