"""Lookups and ranks: recording apart from ranking.

A lookup is answered from the published ranking table (host -> rank text),
held in memory and swapped whole, so an answer costs one dictionary read
whatever the data. The lookup itself is queued and written by a recorder
thread in batches (group commit). A maintenance thread recomputes the table
every few seconds from the distinct users per host over the last 30 days,
publishes it in the store for every process sharing that store, reloads a
table another process published, and purges what left the window.

A host's observed rank is its position among all hosts by distinct users;
hosts with equal user counts share a rank ("1, 2, 2, 4"). An imported
ranking list is the head of the ranking: a listed host always answers with
its imported rank, and observed hosts that are not listed rank behind the
list's last place. Without a list the observed ranks start at 1.

User ids are never stored: the stores see HMAC-SHA-256(secret, uid).
"""

import csv
import hashlib
import hmac
import os
import collections
import threading
import time
from urllib.parse import urlsplit

WINDOW_SECONDS = 30 * 24 * 60 * 60
DAY_SECONDS = 24 * 60 * 60
USER_HASH_BYTES = 16


class StoreError(Exception):
    """The store cannot be opened or used, or an import file is bad."""


class translate_errors:
    """Raises a store driver's errors as StoreError, naming the operation."""

    def __init__(self, errors, what):
        self.errors = errors
        self.what = what

    def __enter__(self):
        return self

    def __exit__(self, kind, e, tb):
        if isinstance(e, self.errors):
            raise StoreError("{} failed: {}".format(self.what, e)) from e


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


def compute_ranking(counts, imported):
    """host -> rank from (host, distinct users) pairs and the imported list."""
    head = max(imported.values(), default=0)
    observed = sorted(((users, host) for host, users in counts
                       if users > 0 and host not in imported), reverse=True)
    table = dict(imported)
    place, previous = 0, None
    for position, (users, host) in enumerate(observed, 1):
        if users != previous:
            place, previous = position, users
        table[host] = head + place
    return table


def read_ranks(path):
    """(host, rank) rows of a CSV file; a bad row rejects the whole file.

    Rows are "host,rank" or "rank,host" (whichever field is a whole number
    is the rank); blank lines, lines starting with "#" and a header row
    without a number are skipped; a duplicated host keeps its best rank.
    """
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            return _read_ranks(path, f)
    except OSError as e:
        raise StoreError("cannot read {}: {}".format(path, e.strerror))
    except UnicodeDecodeError as e:
        raise StoreError("{}: not UTF-8 text: {}".format(path, e))


def _read_ranks(path, f):
    rows = {}
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
        rows[host] = min(rank, rows.get(host, rank))
    return rows


def load_secret(path):
    """The user-hash key in path, created (mode 0600) at first start."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        pass
    except OSError as e:
        raise StoreError("cannot create secret {}: {}".format(path, e.strerror))
    else:
        with os.fdopen(fd, "wb") as f:
            f.write(os.urandom(32).hex().encode() + b"\n")
    try:
        with open(path, "rb") as f:
            secret = f.read().strip()
    except OSError as e:
        raise StoreError("cannot read secret {}: {}".format(path, e.strerror))
    if len(secret) < 16:
        # Another process may be writing it this instant.
        time.sleep(0.2)
        with open(path, "rb") as f:
            secret = f.read().strip()
    if len(secret) < 16:
        raise StoreError("secret {} holds fewer than 16 bytes".format(path))
    return secret


class Stats:
    """What the metrics report; plain counters, read by the metrics module."""

    def __init__(self):
        self.recorded = 0
        self.dropped = 0
        self.write_errors = 0
        self.recompute_seconds = None
        self.recomputes = 0


class RankStore:
    """Answers from the published table; records and ranks in the background.

    backend: a SqliteBackend or RedisBackend. recompute_every: seconds
    between recomputes (None: only when asked). batch_seconds and batch_rows
    bound a group commit, and so what a killed process may lose.
    """

    RELOAD_SECONDS = 1.0
    LOCK_SECONDS = 300
    QUEUE_LIMIT = 1_000_000

    def __init__(self, backend, secret, clock=time.time, recompute_every=60.0,
                 batch_seconds=0.1, batch_rows=2000, log=None):
        self.backend = backend
        self.stats = Stats()
        self._key = secret
        self._clock = clock
        self._every = recompute_every
        self._batch_seconds = batch_seconds
        self._batch_rows = batch_rows
        self._log = log or (lambda line: None)
        self._table = {}
        self._version = None
        self._published_at = None
        # A deque: appending takes no lock and wakes no one; the recorder
        # looks every batch period.
        self._queue = collections.deque()
        self._flushes = []
        self._closing = False
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._wake_recorder = threading.Event()
        self._force = False
        self._lock_token = os.urandom(8).hex()
        self.reload()
        self._recorder = threading.Thread(target=self._record_loop,
                                          name="recorder", daemon=True)
        self._recorder.start()
        self._maintainer = threading.Thread(target=self._maintain_loop,
                                            name="maintainer", daemon=True)
        self._maintainer.start()

    # -- the answer path: no store access, no lock an answer waits for --

    def lookup(self, url, uid):
        """Rank text for a page address from the current table; the lookup
        is queued for recording. A host not in the table answers ""."""
        host = host_of(url)
        if not host:
            return host, ""
        self.record(host, uid, self._clock())
        return host, self._table.get(host, "")

    def record(self, host, uid, when):
        user = hmac.new(self._key, uid.encode("utf-8", "surrogatepass"),
                        hashlib.sha256).digest()[:USER_HASH_BYTES]
        if len(self._queue) < self.QUEUE_LIMIT:
            self._queue.append((host, user, int(when)))
        else:
            self.stats.dropped += 1

    def rank(self, host):
        """The rank of a normalised host in the current table, or None."""
        text = self._table.get(host)
        return int(text.replace(",", "")) if text else None

    def table_age(self):
        if self._published_at is None:
            return None
        return max(0.0, self._clock() - self._published_at)

    # -- recording --

    def flush(self, timeout=None):
        """Returns once every lookup queued before the call is committed."""
        done = threading.Event()
        self._flushes.append(done)
        self._wake_recorder.set()
        return done.wait(timeout)

    def _record_loop(self):
        while True:
            self._wake_recorder.wait(max(self._batch_seconds, 0.001))
            self._wake_recorder.clear()
            flushes, self._flushes = self._flushes, []
            closing = self._closing
            # Everything queued now: what each flush waits for is in it.
            count = len(self._queue)
            while count:
                batch = [self._queue.popleft()
                         for _ in range(min(count, self._batch_rows))]
                count -= len(batch)
                self._write(batch)
            for done in flushes:
                done.set()
            if closing:
                return

    def _write(self, rows):
        attempt, last = 0, None
        while True:
            try:
                self.backend.record(rows)
                self.stats.recorded += len(rows)
                return
            except StoreError as e:
                self.stats.write_errors += 1
                attempt += 1
                self._log("recording {} lookups failed (attempt {}): {}"
                          .format(len(rows), attempt, e))
                # The store may be failing over: keep the batch and retry,
                # later lookups wait in the queue. Stopping, give up soon.
                if self._stop.is_set():
                    last = attempt + 3 if last is None else last
                    if attempt >= last:
                        self.stats.dropped += len(rows)
                        return
                time.sleep(min(1.0, 0.05 * attempt))

    # -- the published table --

    def reload(self):
        """Takes the table published in the store when it is newer."""
        version = self.backend.published_version()
        if version is None or version == self._version:
            return False
        table, published_at = self.backend.load_table(version)
        self._table = {h: format_rank(r) for h, r in table.items()}
        self._version, self._published_at = version, published_at
        return True

    def recompute(self, force=True):
        """Ranks afresh and publishes; False when another process is at it
        or (unless forced) the table is younger than half the period."""
        # What this process has answered so far counts.
        self.flush(timeout=10)
        if not self.backend.try_lock(self._lock_token, self.LOCK_SECONDS):
            return False
        try:
            self.reload()
            age = self.table_age()
            if not force and age is not None and self._every \
                    and age < self._every / 2:
                return False
            started = time.monotonic()
            now = int(self._clock())
            table = compute_ranking(self.backend.counts(now),
                                    self.backend.imported())
            version = self.backend.publish(table, now)
            self._table = {h: format_rank(r) for h, r in table.items()}
            self._version, self._published_at = version, now
            self.stats.recompute_seconds = time.monotonic() - started
            self.stats.recomputes += 1
            self._log("ranking recomputed: {} hosts in {:.3f} s".format(
                len(table), self.stats.recompute_seconds))
            return True
        finally:
            self.backend.unlock(self._lock_token)

    def recompute_soon(self):
        """For SIGHUP: the maintenance thread recomputes now."""
        self._force = True
        self._wake.set()

    def import_csv(self, path):
        """Replaces the imported list, then ranks with it at once."""
        rows = read_ranks(path)
        self.backend.set_imported(rows)
        self.recompute()
        return len(rows)

    def purge(self):
        """Removes what left the window, in small batches; rows removed."""
        return self.backend.purge(int(self._clock()) - WINDOW_SECONDS)

    def _maintain_loop(self):
        next_recompute = time.monotonic() + (self._every or float("inf"))
        while not self._stop.is_set():
            wait = min(self.RELOAD_SECONDS, next_recompute - time.monotonic())
            self._wake.wait(max(0.0, wait))
            self._wake.clear()
            if self._stop.is_set():
                break
            try:
                if self._force or time.monotonic() >= next_recompute:
                    force, self._force = self._force, False
                    if self._every:
                        next_recompute = time.monotonic() + self._every
                    if self.recompute(force=force):
                        self.purge()
                else:
                    self.reload()
            except StoreError as e:
                self._log("maintenance: {}".format(e))

    def close(self):
        """Stops the threads; every queued lookup is written first."""
        self._stop.set()
        self._wake.set()
        self._closing = True
        self._wake_recorder.set()
        self._recorder.join()
        self._maintainer.join()
        self.backend.close()
