"""Lookups and ranks, kept in one SQLite file.

Every lookup is recorded as (uid, host, time). A host's observed rank is its
position among all hosts by distinct users over the last 30 days; hosts with
equal user counts share a rank ("1, 2, 2, 4").

An imported ranking list is the head of the ranking: a listed host always
answers with its imported rank, and observed hosts that are not listed rank
behind the list's last place. Without a list the observed ranks start at 1.
"""

import csv
import sqlite3
import threading
import time
from urllib.parse import urlsplit

WINDOW_SECONDS = 30 * 24 * 60 * 60

_SCHEMA = """
CREATE TABLE IF NOT EXISTS lookup (
    uid  TEXT NOT NULL,
    host TEXT NOT NULL,
    time INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS lookup_host_time ON lookup (host, time, uid);
CREATE TABLE IF NOT EXISTS imported_rank (
    host TEXT PRIMARY KEY,
    rank INTEGER NOT NULL CHECK (rank > 0)
);
"""


class StoreError(Exception):
    """The database cannot be opened or used, or an import file is bad."""


def host_of(url):
    """The host a web address is ranked under, or "" for any other address.

    Lower case, without port, user or trailing dot, and without a leading
    "www." so that a site and its www name count as one. The browser's own
    pages (about:, res://, file://) have no rank.
    """
    try:
        parts = urlsplit(url.strip())
        if parts.scheme.lower() not in ("http", "https"):
            return ""
        return normalize_host(parts.hostname or "")
    except ValueError:
        return ""


def normalize_host(host):
    host = host.strip().lower().rstrip(".")
    if host.startswith("www.") and len(host) > 4:
        host = host[4:]
    return host


def format_rank(rank):
    """The rank text of an answer: ASCII digits and commas only.

    The client takes the result string as it stands in the answer and reads
    no escape but an escaped quote, so a rank text must never need one.
    """
    return "{:,}".format(rank)


def _is_rank(field):
    # str.isdigit() also accepts other scripts' digits and superscripts.
    return field.isascii() and field.isdigit()


class RankStore:
    """Thread-safe: one connection, one lock, one commit per lookup."""

    def __init__(self, path, clock=time.time):
        self._clock = clock
        self._lock = threading.Lock()
        try:
            # isolation_level=None: transactions are explicit, so nothing is
            # left uncommitted between requests.
            self._db = sqlite3.connect(path, isolation_level=None,
                                       check_same_thread=False, timeout=10)
            # WAL keeps a commit on disk once the statement returns, so a
            # killed process loses no recorded lookup.
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA synchronous=NORMAL")
            self._db.executescript(_SCHEMA)
        except sqlite3.Error as e:
            raise StoreError("cannot open database {}: {}".format(path, e))

    def close(self):
        with self._lock:
            self._db.close()

    def lookup(self, url, uid):
        """Rank text for a page address, then record the lookup.

        The rank is taken from what was known before this lookup, so a host
        nobody asked for before answers "" the first time.
        """
        host = host_of(url)
        if not host:
            return host, ""
        now = int(self._clock())
        with self._lock:
            try:
                self._db.execute("BEGIN IMMEDIATE")
                try:
                    rank = self._rank(host, now)
                    self._db.execute(
                        "INSERT INTO lookup (uid, host, time) VALUES (?, ?, ?)",
                        (uid, host, now))
                    self._db.execute("COMMIT")
                except BaseException:
                    self._db.execute("ROLLBACK")
                    raise
            except sqlite3.Error as e:
                raise StoreError("database failure: {}".format(e))
        return host, format_rank(rank) if rank else ""

    def rank(self, host):
        """The rank of a normalised host now, or None when it is unknown."""
        with self._lock:
            return self._rank(host, int(self._clock()))

    def _rank(self, host, now):
        row = self._db.execute(
            "SELECT rank FROM imported_rank WHERE host = ?", (host,)).fetchone()
        if row:
            return row[0]
        since = now - WINDOW_SECONDS
        row = self._db.execute(
            "SELECT COUNT(DISTINCT uid) FROM lookup "
            "WHERE host = ? AND time > ? AND time <= ?",
            (host, since, now)).fetchone()
        users = row[0]
        if users == 0:
            return None
        ahead = self._db.execute(
            "SELECT COUNT(*) FROM ("
            " SELECT host FROM lookup WHERE time > ? AND time <= ?"
            " AND host NOT IN (SELECT host FROM imported_rank)"
            " GROUP BY host HAVING COUNT(DISTINCT uid) > ?)",
            (since, now, users)).fetchone()[0]
        head = self._db.execute(
            "SELECT COALESCE(MAX(rank), 0) FROM imported_rank").fetchone()[0]
        return head + ahead + 1

    def import_csv(self, path):
        """Replace the imported list with the rows of a CSV file.

        Rows are "host,rank" or "rank,host" (whichever field is a whole
        number is the rank); blank lines, lines starting with "#" and a
        header row without a number are skipped. Returns the number of hosts
        imported. A bad row rejects the whole file.
        """
        try:
            with open(path, newline="", encoding="utf-8-sig") as f:
                rows = self._read_ranks(path, f)
        except OSError as e:
            raise StoreError("cannot read {}: {}".format(path, e.strerror))
        except UnicodeDecodeError as e:
            raise StoreError("{}: not UTF-8 text: {}".format(path, e))
        with self._lock:
            try:
                self._db.execute("BEGIN IMMEDIATE")
                try:
                    self._db.execute("DELETE FROM imported_rank")
                    self._db.executemany(
                        "INSERT INTO imported_rank (host, rank) VALUES (?, ?) "
                        "ON CONFLICT (host) DO UPDATE SET "
                        "rank = MIN(rank, excluded.rank)",
                        rows)
                    self._db.execute("COMMIT")
                except BaseException:
                    self._db.execute("ROLLBACK")
                    raise
                return self._db.execute(
                    "SELECT COUNT(*) FROM imported_rank").fetchone()[0]
            except sqlite3.Error as e:
                raise StoreError("database failure: {}".format(e))

    @staticmethod
    def _read_ranks(path, f):
        rows = []
        for number, fields in enumerate(csv.reader(f), 1):
            fields = [x.strip() for x in fields]
            if not any(fields) or fields[0].startswith("#"):
                continue
            where = "{}:{}".format(path, number)
            if len(fields) != 2:
                raise StoreError("{}: expected host,rank".format(where))
            if any(x.isdigit() and not _is_rank(x) for x in fields):
                raise StoreError("{}: a rank is written with the digits 0-9 "
                                 "only: {!r}".format(where, fields))
            ranks = [x for x in fields if _is_rank(x)]
            if not ranks:
                if not rows:
                    continue  # header row
                raise StoreError("{}: no rank in {!r}".format(where, fields))
            if _is_rank(fields[1]):
                host, rank = fields[0], int(fields[1])
            else:
                rank, host = int(fields[0]), fields[1]
            host = normalize_host(host)
            if not host or rank < 1:
                raise StoreError("{}: bad row {!r}".format(where, fields))
            rows.append((host, rank))
        return rows
