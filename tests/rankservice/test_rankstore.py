import os
import shutil
import tempfile
import unittest

from rankfixture import FakeClock
from rankstore import RankStore, StoreError, WINDOW_SECONDS, host_of

DAY = 24 * 60 * 60


class StoreCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="rankstore-")
        self.clock = FakeClock()
        self.store = RankStore(self.path("ranks.sqlite"), clock=self.clock)

    def tearDown(self):
        self.store.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def visit(self, host, *uids):
        for uid in uids:
            self.store.lookup("http://{}/page".format(host), uid)

    def ranks(self, *hosts):
        return [self.store.rank(h) for h in hosts]

    def write(self, name, text):
        with open(self.path(name), "w", encoding="utf-8") as f:
            f.write(text)
        return self.path(name)


class RankingTest(StoreCase):
    def test_rank_is_position_by_distinct_users_with_shared_places(self):
        self.visit("a.com", "u1", "u2", "u3")
        self.visit("b.com", "u1", "u1", "u1", "u1")   # one user, many lookups
        self.visit("c.com", "u1", "u2")
        self.visit("d.com", "u4", "u5")
        self.assertEqual(self.ranks("a.com", "c.com", "d.com", "b.com"),
                         [1, 2, 2, 4])

    def test_lookup_answers_from_what_was_known_before_it(self):
        url = "http://new.example/"
        self.assertEqual(self.store.lookup(url, "u1"), ("new.example", ""))
        self.assertEqual(self.store.lookup(url, "u2"), ("new.example", "1"))

    def test_only_the_last_30_days_count(self):
        self.visit("old.com", "u1", "u2", "u3")
        self.clock.now += 10 * DAY
        self.visit("new.com", "u1")
        self.clock.now += WINDOW_SECONDS - 10 * DAY - 1
        # old.com's lookups are one second short of 30 days old.
        self.assertEqual(self.ranks("old.com", "new.com"), [1, 2])
        self.clock.now += 1
        self.assertEqual(self.ranks("old.com", "new.com"), [None, 1])
        self.assertEqual(self.store.lookup("http://old.com/", "u9")[1], "")
        self.clock.now += WINDOW_SECONDS
        self.assertEqual(self.ranks("new.com"), [None])

    def test_addresses_of_one_host_count_together(self):
        for url in ("http://example.com/a", "HTTP://WWW.Example.COM:8080/b?q",
                    "https://user@example.com./c#top"):
            self.store.lookup(url, url)
        self.visit("other.com", "u1", "u2")
        self.assertEqual(self.ranks("example.com", "other.com"), [1, 2])

    def test_addresses_without_host_are_neither_ranked_nor_recorded(self):
        for url in ("", "about:blank", "res://ieframe.dll/navcancl.htm",
                    "file:///C:/x.htm", "http:///nohost",
                    "http://[bad"):
            self.assertEqual(self.store.lookup(url, "u1"), ("", ""), url)
        self.visit("a.com", "u1")
        self.assertEqual(self.ranks("a.com"), [1])

    def test_host_of(self):
        self.assertEqual(host_of("http://www.a.b/"), "a.b")
        self.assertEqual(host_of("http://www./"), "www")
        self.assertEqual(host_of("http://xn--caf-dma.example/"),
                         "xn--caf-dma.example")


class ImportTest(StoreCase):
    def test_imported_list_heads_the_ranking(self):
        self.store.import_csv(self.write("r.csv", "a.com,1\nb.com,1234\n"))
        self.visit("a.com", "u1")
        self.visit("b.com", *["u%d" % i for i in range(10)])
        self.visit("c.com", "u1", "u2")
        self.visit("d.com", "u1")
        self.assertEqual(self.ranks("a.com", "b.com", "c.com", "d.com"),
                         [1, 1234, 1235, 1236])
        self.assertEqual(self.store.lookup("http://b.com/", "x")[1], "1,234")
        self.assertEqual(self.store.lookup("http://zzz.com/", "x")[1], "")

    def test_new_import_replaces_the_list(self):
        self.store.import_csv(self.write("1.csv", "a.com,1\nb.com,2\n"))
        self.visit("a.com", "u1")
        self.visit("c.com", "u1", "u2")
        self.assertEqual(self.store.import_csv(self.write("2.csv", "c.com,7\n")),
                         1)
        self.assertEqual(self.ranks("a.com", "b.com", "c.com"), [8, None, 7])

    def test_accepted_file_forms(self):
        text = ("\ufeffhost,rank\n"
                "# comment\n"
                "\n"
                "WWW.A.com , 3\n"
                "5,b.com\n"
                "a.com,2\n")
        self.assertEqual(self.store.import_csv(self.write("r.csv", text)), 2)
        # The best of a host's duplicate rows wins; rank,host order is read.
        self.assertEqual(self.ranks("a.com", "b.com"), [2, 5])

    def test_bad_file_is_rejected_whole(self):
        self.store.import_csv(self.write("good.csv", "keep.com,4\n"))
        for name, text in [("cols.csv", "a.com,1\nb.com\n"),
                           ("norank.csv", "a.com,1\nb.com,first\n"),
                           ("zero.csv", "a.com,0\n"),
                           ("nohost.csv", "a.com,1\n,2\n")]:
            with self.subTest(name):
                with self.assertRaises(StoreError) as e:
                    self.store.import_csv(self.write(name, text))
                self.assertIn(name, str(e.exception))
                self.assertEqual(self.ranks("keep.com", "a.com"), [4, None])
        with self.assertRaises(StoreError):
            self.store.import_csv(self.path("missing.csv"))


class OpenTest(unittest.TestCase):
    def test_unusable_database_raises_store_error(self):
        with tempfile.TemporaryDirectory() as d:
            junk = os.path.join(d, "junk.sqlite")
            with open(junk, "wb") as f:
                f.write(b"not a database at all" * 100)
            for path in (d, junk, os.path.join(d, "no", "such", "dir.db")):
                with self.subTest(path), self.assertRaises(StoreError):
                    RankStore(path)


if __name__ == "__main__":
    unittest.main()
