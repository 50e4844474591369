import json
import os
import resource
import signal
import socket
import sqlite3
import tempfile
import unittest

from rankfixture import ServiceProcess, wait_for


def users_of(db_path, host):
    with sqlite3.connect(db_path) as db:
        assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        return db.execute("SELECT COUNT(*) FROM seen WHERE host = ?",
                          (host,)).fetchone()[0]


class ServiceTest(unittest.TestCase):
    def setUp(self):
        d = tempfile.TemporaryDirectory(prefix="rankservice-")
        self.addCleanup(d.cleanup)
        self.dir = d.name
        self.db = os.path.join(self.dir, "ranks.sqlite")

    def service(self, *args):
        service = ServiceProcess("--no-request-log", "--db", self.db, *args,
                                 folder=self.dir)
        self.addCleanup(service.stop)
        return service

    def test_what_a_stop_loses(self):
        # A batch that would wait a minute: SIGTERM writes it all the same.
        service = self.service("--batch-ms", "60000")
        db = self.db
        for n in range(100):
            self.assertEqual(service.rank("http://a.test/", "t%d" % n), "")
        self.assertEqual(service.stop(), 0)
        self.assertEqual(users_of(db, "a.test"), 100)

        # SIGKILL loses what was not committed yet, and only that: a lookup
        # counted as recorded is on disk.
        service = self.service("--batch-ms", "50")
        for n in range(100):
            service.rank("http://b.test/", "k%d" % n)
        wait_for(lambda: service.metric("rank_lookups_recorded_total") == 100)
        for n in range(100, 150):
            service.rank("http://b.test/", "k%d" % n)
        service.stop(signal.SIGKILL)
        self.assertGreaterEqual(users_of(db, "b.test"), 100)
        self.assertLessEqual(users_of(db, "b.test"), 150)

    def test_half_sent_requests_take_no_thread_and_stop_no_answer(self):
        # The bound below the flood, so eviction is what keeps answers going.
        service = self.service("--max-connections", "1000")
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE,
                        (soft, hard))
        flood = []
        self.addCleanup(lambda: [s.close() for s in flood])
        for n in range(3000):
            s = socket.create_connection(service.address, timeout=5)
            s.sendall(b"POST /rank/ HTTP/1.1\r\nContent-Length: 500\r\n\r\n{")
            flood.append(s)
            if n % 300 == 299:  # answers flow while the flood builds
                self.assertEqual(service.rank("http://x.test/"), "")
        answers = [service.rank("http://x.test/", "v%d" % n) for n in range(50)]
        self.assertEqual(answers, [""] * 50)
        with open("/proc/%d/status" % service.process.pid) as f:
            threads = int([l for l in f if l.startswith("Threads:")][0].split()[1])
        self.assertLess(threads, 10)
        self.assertGreaterEqual(service.metric("rank_connections_evicted_total"),
                                2000)

    def test_workers_share_the_address_and_report(self):
        service = self.service("--workers", "2", "--recompute-every", "0.5")
        pids = set()

        def both_answer():  # the kernel spreads connections over both
            health = json.loads(service.get("/healthz"))
            self.assertEqual(health["store"], "ok")
            pids.add(health["pid"])
            return len(pids) == 2
        wait_for(both_answer)
        for n in range(20):
            service.rank("http://w.test/", "w%d" % n)
        # Every worker's table follows the recomputes.
        pids.clear()
        wait_for(lambda: service.rank("http://w.test/") == "1"
                 and both_answer() and "rank_table_age_seconds"
                 in service.get("/metrics").decode())
        metrics = service.get("/metrics").decode()
        self.assertIn('rank_requests_total{code="200"}', metrics)
        service.process.send_signal(signal.SIGHUP)
        self.assertEqual(service.stop(), 0)


if __name__ == "__main__":
    unittest.main()
