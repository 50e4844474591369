import os
import sqlite3
import stat
import tempfile
import unittest

from rankfixture import (FakeClock, RedisCluster, SECRET, settle, sqlite_store,
                         visit)
from rankstore import (DAY_SECONDS, WINDOW_SECONDS, RankStore, StoreError,
                       load_secret)

# Each case: steps, then {host: rank or None} once the lookups are ranked.
# Steps: (host, uid, ...) visits; an int moves the clock on that many
# seconds (whole days, so both stores' windows agree); "csv:..." imports.
DAY = DAY_SECONDS
RANKING_CASES = [
    ("distinct users, equal counts share a place",
     [("a.com", "u1", "u2", "u3"), ("b.com", "u1", "u1", "u1", "u1"),
      ("c.com", "u1", "u2"), ("d.com", "u4", "u5")],
     {"a.com": 1, "c.com": 2, "d.com": 2, "b.com": 4, "e.com": None}),
    ("a user counts once per host across days",
     [("a.com", "u1"), ("b.com", "u2"), 5 * DAY, ("a.com", "u1"),
      ("b.com", "u3")],
     {"b.com": 1, "a.com": 2}),
    ("lookups leave the window after 30 days",
     [("a.com", "u1", "u2", "u3"), 29 * DAY, ("new.com", "u1")],
     {"a.com": 1, "new.com": 2}),
    ("lookups leave the window after 30 days (2)",
     [("a.com", "u1", "u2", "u3"), 30 * DAY, ("new.com", "u1")],
     {"a.com": None, "new.com": 1}),
    ("the imported list heads the ranking",
     ["csv:\ufeffhost,rank\n# comment\n\nWWW.A.com , 3\n1234,b.com\na.com,1\n",
      ("a.com", "u1"), ("b.com", *["u%d" % i for i in range(10)]),
      ("c.com", "u1", "u2"), ("d.com", "u1")],
     {"a.com": 1, "b.com": 1234, "c.com": 1235, "d.com": 1236}),
    ("an import replaces the list",
     ["csv:a.com,1\nb.com,1234\n", ("c.com", "u1", "u2"), ("d.com", "u1"),
      "csv:c.com,7\n"],
     {"b.com": None, "c.com": 7, "d.com": 8}),
]


class RankingCases:
    """Run against each store by the classes below."""

    def run_cases(self):
        for name, steps, expected in RANKING_CASES:
            with self.subTest(name):
                store = self.fresh_store()
                for step in steps:
                    if isinstance(step, int):
                        store._clock.now += step
                    elif isinstance(step, str):
                        store.import_csv(self.csv(step[4:]))
                    else:
                        visit(store, step[0], *step[1:])
                settle(store)
                self.assertEqual({h: store.rank(h) for h in expected},
                                 expected)

    def csv(self, text):
        path = os.path.join(self.dir, "r%d.csv" % len(os.listdir(self.dir)))
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def test_ranking_cases(self):
        self.run_cases()

    def test_a_host_answers_from_the_published_table_only(self):
        store = self.fresh_store()
        self.assertEqual(store.lookup("http://WWW.A.com:8080/x", "u1"),
                         ("a.com", ""))
        store.flush()
        self.assertEqual(store.lookup("http://a.com/", "u2")[1], "")
        store.recompute()
        self.assertEqual(store.lookup("https://a.com./", "u3"), ("a.com", "1"))
        # A second store on the same data (another process) takes the
        # table at its next reload.
        other = self.another_store()
        self.assertEqual(other.rank("a.com"), 1)
        for url in ("", "about:blank", "res://ieframe.dll/navcancl.htm",
                    "file:///C:/x.htm", "http:///nohost", "http://[bad"):
            self.assertEqual(store.lookup(url, "u1"), ("", ""), url)


class SqliteRankingTest(RankingCases, unittest.TestCase):
    def setUp(self):
        d = tempfile.TemporaryDirectory(prefix="rankstore-")
        self.addCleanup(d.cleanup)
        self.dir = d.name

    def fresh_store(self):
        folder = tempfile.mkdtemp(dir=self.dir)
        store = sqlite_store(folder)
        self.addCleanup(store.close)
        return store

    def another_store(self):
        folders = sorted(f for f in os.listdir(self.dir)
                         if os.path.isdir(os.path.join(self.dir, f)))
        store = sqlite_store(os.path.join(self.dir, folders[-1]))
        self.addCleanup(store.close)
        return store

    def test_a_bad_import_changes_nothing(self):
        store = self.fresh_store()
        store.import_csv(self.csv("c.com,7\n"))
        # Ranks in other digits would not come back as the digits the
        # client reads; superscripts are digits that int() refuses.
        for text in ("a.com,1\nb.com\n", "a.com,1\nb.com,first\n",
                     "a.com,0\n", "a.com,1\n,2\n", "a.com,\u0663\n",
                     "a.com,1\n\u00b2,b.com\n"):
            with self.subTest(text), self.assertRaises(StoreError):
                store.import_csv(self.csv(text))
            store.recompute()
            self.assertEqual([store.rank("c.com"), store.rank("a.com")],
                             [7, None])

    def test_purge_bounds_the_store_and_no_raw_uid_is_kept(self):
        store = self.fresh_store()
        path = store.backend.path

        def month(start):
            # A day at a time: 200 users over 50 hosts, some repeat visits.
            for day in range(30):
                store._clock.now = start + day * DAY
                for n in range(200):
                    store.lookup("http://h%d.test/" % (n % 50),
                                 "{user-%d-%d}" % (day % 7, n))
                store.flush()
                if day % 10 == 9:
                    store.recompute()
                    store.purge()
            return store.backend.size()

        start = store._clock.now
        rows_one, bytes_one = month(start)
        rows_two, bytes_two = month(start + 30 * DAY)
        self.assertEqual(rows_two, rows_one)  # what left the window went
        self.assertLessEqual(bytes_two, bytes_one * 1.25)
        store.close()
        with open(path, "rb") as f:
            data = f.read()
        for raw in (b"{user-3-17}", "{user-3-17}".encode("utf-16-le")):
            self.assertNotIn(raw, data)
        self.assertTrue(data.count(b"h7.test"))  # the hosts are there

    def test_the_user_hash_is_keyed_by_a_private_secret(self):
        path = os.path.join(self.dir, "key")
        secret = load_secret(path)
        self.assertEqual(load_secret(path), secret)  # created once
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        users = []
        for key in (SECRET, secret):
            folder = tempfile.mkdtemp(dir=self.dir)
            from sqlitestore import SqliteBackend
            store = RankStore(SqliteBackend(os.path.join(folder, "r.sqlite")),
                              key, clock=FakeClock(), recompute_every=None)
            store.lookup("http://a.com/", "u1")
            store.close()
            with sqlite3.connect(os.path.join(folder, "r.sqlite")) as db:
                users += [u for (u,) in db.execute("SELECT user FROM seen")]
        self.assertEqual(len(users), 2)
        self.assertNotEqual(users[0], users[1])


@unittest.skipIf(os.environ.get("ZR_NO_REDIS"), "ZR_NO_REDIS is set")
class RedisRankingTest(RankingCases, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = RedisCluster()
        cls.addClassCleanup(cls.cluster.close)

    def setUp(self):
        d = tempfile.TemporaryDirectory(prefix="rankstore-")
        self.addCleanup(d.cleanup)
        self.dir = d.name

    def _store(self):
        from redisstore import RedisBackend
        store = RankStore(RedisBackend(self.cluster.url), SECRET,
                          clock=FakeClock(), recompute_every=None)
        self.addCleanup(store.close)
        return store

    def fresh_store(self):
        self.cluster.flush()
        return self._store()

    def another_store(self):
        return self._store()

    def test_keys_expire_with_their_day(self):
        store = self.fresh_store()
        visit(store, "a.com", "u1")
        store.flush()
        now = store._clock.now
        for port in self.cluster.masters():
            node = self.cluster.node(port)
            for key in node.keys("rank:*"):
                left = node.expiretime(key) - now
                self.assertTrue(WINDOW_SECONDS < left <= WINDOW_SECONDS
                                + 2 * DAY, (key, left))


if __name__ == "__main__":
    unittest.main()
