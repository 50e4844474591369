"""The embedded store: one SQLite file, exact distinct counts.

`seen` keeps one row per (host, user hash) with the last time that user
looked the host up, so the distinct users of a host in the window are the
rows whose time is inside it, and the table never holds more than one row
per pair. The published ranking lives in `ranking`, its version and time in
`meta`; every process sharing the file reads it from there.
"""

import sqlite3
import threading
import time

from rankstore import WINDOW_SECONDS, translate_errors

_SCHEMA = """
CREATE TABLE IF NOT EXISTS seen (
    host TEXT NOT NULL,
    user BLOB NOT NULL,
    last INTEGER NOT NULL,
    PRIMARY KEY (host, user)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS seen_last ON seen (last);
CREATE TABLE IF NOT EXISTS imported_rank (
    host TEXT PRIMARY KEY,
    rank INTEGER NOT NULL CHECK (rank > 0)
);
CREATE TABLE IF NOT EXISTS ranking (
    host TEXT PRIMARY KEY,
    rank INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS meta (
    key TEXT PRIMARY KEY,
    value
) WITHOUT ROWID;
-- Raw user ids of an older file are not kept.
DROP TABLE IF EXISTS lookup;
"""

_UPSERT = ("INSERT INTO seen (host, user, last) VALUES (?, ?, ?) "
           "ON CONFLICT (host, user) DO UPDATE SET "
           "last = MAX(last, excluded.last)")

PURGE_BATCH = 2000


class SqliteBackend:
    """One connection per thread; WAL lets readers run beside the writer."""

    def __init__(self, path):
        self.path = path
        self._local = threading.local()
        self._all = []
        self._all_lock = threading.Lock()
        with self._errors("open"):
            db = self._db()
            db.execute("PRAGMA journal_mode=WAL")
            db.executescript(_SCHEMA)

    def describe(self):
        return "sqlite:" + self.path

    def _db(self):
        db = getattr(self._local, "db", None)
        if db is None:
            # isolation_level=None: transactions are explicit.
            db = sqlite3.connect(self.path, isolation_level=None,
                                 check_same_thread=False, timeout=30)
            # In WAL a commit survives a killed process once it returns;
            # NORMAL only gives up durability across a power cut.
            db.execute("PRAGMA synchronous=NORMAL")
            self._local.db = db
            with self._all_lock:
                self._all.append(db)
        return db

    @staticmethod
    def _errors(what):
        return translate_errors(sqlite3.Error, "database " + what)

    def _transaction(self, work):
        db = self._db()
        db.execute("BEGIN IMMEDIATE")
        try:
            result = work(db)
            db.execute("COMMIT")
            return result
        except BaseException:
            db.execute("ROLLBACK")
            raise

    def ping(self):
        with self._errors("check"):
            self._db().execute("SELECT 1 FROM meta LIMIT 1").fetchall()

    def record(self, rows):
        with self._errors("write"):
            self._transaction(lambda db: db.executemany(_UPSERT, rows))

    def counts(self, now):
        since = now - WINDOW_SECONDS
        with self._errors("count"):
            # NOT INDEXED: walking the primary key groups by host as it goes;
            # the time index would need a sort of every row in the window.
            return self._db().execute(
                "SELECT host, COUNT(*) FROM seen NOT INDEXED "
                "WHERE last > ? AND last <= ? GROUP BY host",
                (since, now)).fetchall()

    def imported(self):
        with self._errors("read"):
            return dict(self._db().execute(
                "SELECT host, rank FROM imported_rank"))

    def set_imported(self, ranks):
        def replace(db):
            db.execute("DELETE FROM imported_rank")
            db.executemany("INSERT INTO imported_rank (host, rank) "
                           "VALUES (?, ?)", ranks.items())
        with self._errors("import"):
            self._transaction(replace)

    def publish(self, table, now):
        def swap(db):
            db.execute("DELETE FROM ranking")
            db.executemany("INSERT INTO ranking (host, rank) VALUES (?, ?)",
                           table.items())
            version = (self._meta(db, "version") or 0) + 1
            db.executemany("INSERT OR REPLACE INTO meta VALUES (?, ?)",
                           (("version", version), ("published_at", now)))
            return version
        with self._errors("publish"):
            return self._transaction(swap)

    def published_version(self):
        with self._errors("read"):
            return self._meta(self._db(), "version")

    def load_table(self, version):
        with self._errors("read"):
            db = self._db()
            db.execute("BEGIN")
            try:
                # Read in one snapshot, the version with its rows.
                if self._meta(db, "version") != version:
                    version = self._meta(db, "version")
                table = dict(db.execute("SELECT host, rank FROM ranking"))
                return table, self._meta(db, "published_at")
            finally:
                db.execute("COMMIT")

    @staticmethod
    def _meta(db, key):
        row = db.execute("SELECT value FROM meta WHERE key = ?",
                         (key,)).fetchone()
        return row[0] if row else None

    def try_lock(self, token, seconds):
        def take(db):
            held = self._meta(db, "lock")
            now = time.time()
            if held:
                owner, _, until = held.partition(" ")
                if owner != token and float(until) > now:
                    return False
            db.execute("INSERT OR REPLACE INTO meta VALUES ('lock', ?)",
                       ("{} {}".format(token, now + seconds),))
            return True
        with self._errors("lock"):
            return self._transaction(take)

    def unlock(self, token):
        def release(db):
            held = self._meta(db, "lock") or ""
            if held.partition(" ")[0] == token:
                db.execute("DELETE FROM meta WHERE key = 'lock'")
        with self._errors("unlock"):
            self._transaction(release)

    def purge(self, before):
        """Deletes rows last seen at or before `before`, a small transaction
        at a time so the recorder's commits interleave."""
        removed = 0
        with self._errors("purge"):
            while True:
                count = self._transaction(lambda db: db.execute(
                    "DELETE FROM seen WHERE (host, user) IN ("
                    " SELECT host, user FROM seen WHERE last <= ? LIMIT ?)",
                    (before, PURGE_BATCH)).rowcount)
                removed += count
                if count < PURGE_BATCH:
                    return removed

    def size(self):
        """Rows kept and bytes on disk, for the retention measurement."""
        with self._errors("read"):
            db = self._db()
            rows = db.execute("SELECT COUNT(*) FROM seen").fetchone()[0]
            pages = db.execute("PRAGMA page_count").fetchone()[0]
            free = db.execute("PRAGMA freelist_count").fetchone()[0]
            page = db.execute("PRAGMA page_size").fetchone()[0]
            return rows, (pages - free) * page

    def close(self):
        with self._all_lock:
            for db in self._all:
                try:
                    db.close()
                except sqlite3.Error:
                    pass
            self._all.clear()

