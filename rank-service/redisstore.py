"""The scale-out store: a Redis Cluster shared by any number of processes.

Lookups are kept as one HyperLogLog per host and day, "rank:u:{HOST}:DAY"
(the hash tag puts a host's days in one slot, so one PFCOUNT unions them),
and the hosts of a day in the set "rank:h:DAY". Both expire once their day
leaves the window. The published table is the hash "{rank}:table:VERSION"
named by "{rank}:current" ("VERSION TIME"); the recompute lock is
"{rank}:lock", taken with SET NX PX. A window is whole days here: the last
30 days counting today.
"""

import threading

import redis
from redis.cluster import ClusterNode, RedisCluster

from rankstore import (DAY_SECONDS, WINDOW_SECONDS, StoreError,
                       translate_errors)

WINDOW_DAYS = WINDOW_SECONDS // DAY_SECONDS
CHUNK = 2000
# An older table stays readable this long after a newer one is published.
OLD_TABLE_SECONDS = 120

_UNLOCK = """
if redis.call('get', KEYS[1]) == ARGV[1] then
    return redis.call('del', KEYS[1])
end
return 0
"""


def parse_nodes(url):
    nodes = []
    for part in url[len("redis://"):].split(","):
        host, _, port = part.strip().rpartition(":")
        if not host or not port.isdigit():
            raise StoreError("bad Redis node {!r}: HOST:PORT".format(part))
        nodes.append((host, int(port)))
    return nodes


def _hll_key(host, day):
    return "rank:u:{%s}:%d" % (host, day)


def _errors(what):
    return translate_errors(redis.exceptions.RedisError, "Redis " + what)


class RedisBackend:
    """One cluster client per thread: pipelines are not shared."""

    def __init__(self, url):
        self.url = url
        self._nodes = parse_nodes(url)
        self._local = threading.local()
        self._clients = []
        self._clients_lock = threading.Lock()
        self.ping()

    def describe(self):
        return self.url

    def _r(self):
        client = getattr(self._local, "client", None)
        if client is None:
            with _errors("connect"):
                client = RedisCluster(
                    startup_nodes=[ClusterNode(h, p) for h, p in self._nodes],
                    socket_timeout=2, socket_connect_timeout=1,
                    cluster_error_retry_attempts=2)
            self._local.client = client
            with self._clients_lock:
                self._clients.append(client)
        return client

    def _pipelined(self, what, commands):
        """Runs (name, args) commands in pipelines of CHUNK; the replies."""
        replies = []
        with _errors(what):
            for i in range(0, len(commands), CHUNK):
                pipe = self._r().pipeline(transaction=False)
                for name, args in commands[i:i + CHUNK]:
                    if name.isupper():
                        # The client refuses some commands by name in a
                        # cluster pipeline, whose keys here share a slot.
                        pipe.execute_command(name, *args)
                    else:
                        getattr(pipe, name)(*args)
                replies.extend(pipe.execute())
        return replies

    def ping(self):
        with _errors("ping"):
            self._r().ping()

    def record(self, rows):
        users = {}
        for host, user, when in rows:
            users.setdefault((host, when // DAY_SECONDS), []).append(user)
        commands, days = [], {}
        for (host, day), who in users.items():
            key = _hll_key(host, day)
            commands.append(("pfadd", (key, *who)))
            commands.append(("expireat",
                             (key, (day + WINDOW_DAYS + 1) * DAY_SECONDS)))
            days.setdefault(day, []).append(host)
        for day, hosts in days.items():
            commands.append(("sadd", ("rank:h:%d" % day, *hosts)))
            commands.append(("expireat", ("rank:h:%d" % day,
                                          (day + WINDOW_DAYS + 1) * DAY_SECONDS)))
        self._pipelined("write", commands)

    def counts(self, now):
        today = now // DAY_SECONDS
        window = range(today - WINDOW_DAYS + 1, today + 1)
        members = self._pipelined(
            "count", [("smembers", ("rank:h:%d" % d,)) for d in window])
        seen = {}
        for day, hosts in zip(window, members):
            for host in hosts:
                seen.setdefault(host.decode(), []).append(day)
        hosts = list(seen)
        counts = self._pipelined("count", [
            ("PFCOUNT", [_hll_key(h, d) for d in seen[h]]) for h in hosts])
        return list(zip(hosts, counts))

    def imported(self):
        with _errors("read"):
            return {h.decode(): int(r) for h, r
                    in self._r().hgetall("{rank}:imported").items()}

    def set_imported(self, ranks):
        # Built aside and renamed: readers see the old list or the new one.
        items = list(ranks.items())
        self._pipelined("import", [("delete", ("{rank}:imported:new",))] + [
            ("hset", ("{rank}:imported:new", None, None,
                      dict(items[i:i + CHUNK])))
            for i in range(0, len(items), CHUNK)])
        with _errors("import"):
            if items:
                self._r().rename("{rank}:imported:new", "{rank}:imported")
            else:
                self._r().delete("{rank}:imported")

    def publish(self, table, now):
        with _errors("publish"):
            version = self._r().incr("{rank}:version")
        key = "{rank}:table:%d" % version
        items = list(table.items())
        self._pipelined("publish", [
            ("hset", (key, None, None, dict(items[i:i + CHUNK])))
            for i in range(0, len(items), CHUNK)])
        with _errors("publish"):
            previous = self.published_version()
            self._r().set("{rank}:current", "%d %d" % (version, now))
            if previous is not None:
                self._r().expire("{rank}:table:%d" % previous,
                                 OLD_TABLE_SECONDS)
        return version

    def _current(self):
        with _errors("read"):
            value = self._r().get("{rank}:current")
        if not value:
            return None, None
        version, _, when = value.decode().partition(" ")
        return int(version), int(when)

    def published_version(self):
        return self._current()[0]

    def load_table(self, version):
        version, when = self._current()
        with _errors("read"):
            table = self._r().hgetall("{rank}:table:%d" % version)
        return {h.decode(): int(r) for h, r in table.items()}, when

    def try_lock(self, token, seconds):
        with _errors("lock"):
            return bool(self._r().set("{rank}:lock", token, nx=True,
                                      px=int(seconds * 1000)))

    def unlock(self, token):
        with _errors("unlock"):
            self._r().eval(_UNLOCK, 1, "{rank}:lock", token)

    def purge(self, before):
        del before  # keys expire with their day
        return 0

    def close(self):
        with self._clients_lock:
            for client in self._clients:
                try:
                    client.close()
                except redis.exceptions.RedisError:
                    pass
            self._clients.clear()
