import os
import tempfile
import unittest

from rankfixture import FakeClock
from rankstore import RankStore, StoreError, WINDOW_SECONDS


class RankStoreTest(unittest.TestCase):
    def setUp(self):
        d = tempfile.TemporaryDirectory(prefix="rankstore-")
        self.addCleanup(d.cleanup)
        self.dir = d.name
        self.clock = FakeClock()
        self.store = RankStore(os.path.join(self.dir, "r.sqlite"), self.clock)
        self.addCleanup(self.store.close)

    def visit(self, host, *uids):
        for uid in uids:
            self.store.lookup("http://{}/page".format(host), uid)

    def ranks(self, *hosts):
        return [self.store.rank(h) for h in hosts]

    def csv(self, text):
        path = os.path.join(self.dir, "r%d.csv" % len(os.listdir(self.dir)))
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def test_rank_is_position_by_distinct_users_in_the_window(self):
        self.assertEqual(self.store.lookup("http://a.com/", "u1"),
                         ("a.com", ""))  # answered before it is recorded
        self.visit("a.com", "u2", "u3")
        self.visit("b.com", "u1", "u1", "u1", "u1")
        self.visit("c.com", "u1", "u2")
        self.visit("d.com", "u4", "u5")
        self.assertEqual(self.ranks("a.com", "c.com", "d.com", "b.com"),
                         [1, 2, 2, 4])
        self.clock.now += WINDOW_SECONDS - 1
        self.visit("new.com", "u1")
        self.assertEqual(self.ranks("a.com", "new.com"), [1, 4])
        self.clock.now += 1
        self.assertEqual(self.ranks("a.com", "new.com"), [None, 1])

    def test_one_host_per_site_and_none_for_other_addresses(self):
        for url in ("http://example.com/a", "HTTP://WWW.Example.COM:8080/b",
                    "https://user@example.com./c#top"):
            self.store.lookup(url, url)
        for url in ("", "about:blank", "res://ieframe.dll/navcancl.htm",
                    "file:///C:/x.htm", "http:///nohost", "http://[bad"):
            self.assertEqual(self.store.lookup(url, "u1"), ("", ""), url)
        self.visit("other.com", "u1", "u2")
        self.assertEqual(self.ranks("example.com", "other.com"), [1, 2])

    def test_imported_list_heads_the_ranking_and_a_bad_file_changes_nothing(self):
        self.assertEqual(self.store.import_csv(self.csv(
            "\ufeffhost,rank\n# comment\n\nWWW.A.com , 3\n1234,b.com\n"
            "a.com,1\n")), 2)
        self.visit("a.com", "u1")
        self.visit("b.com", *["u%d" % i for i in range(10)])
        self.visit("c.com", "u1", "u2")
        self.visit("d.com", "u1")
        self.assertEqual(self.ranks("a.com", "b.com", "c.com", "d.com"),
                         [1, 1234, 1235, 1236])
        self.assertEqual(self.store.lookup("http://b.com/", "x")[1], "1,234")
        self.store.import_csv(self.csv("c.com,7\n"))
        self.assertEqual(self.ranks("b.com", "c.com", "d.com"), [8, 7, 9])
        # Ranks in other digits would not come back as the digits the
        # client reads; superscripts are digits that int() refuses.
        for text in ("a.com,1\nb.com\n", "a.com,1\nb.com,first\n",
                     "a.com,0\n", "a.com,1\n,2\n", "a.com,\u0663\n",
                     "a.com,1\n\u00b2,b.com\n"):
            with self.subTest(text), self.assertRaises(StoreError):
                self.store.import_csv(self.csv(text))
            self.assertEqual(self.ranks("c.com", "a.com"), [7, 9])


if __name__ == "__main__":
    unittest.main()
