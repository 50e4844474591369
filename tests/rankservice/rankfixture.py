"""Shared fixtures: a service in this process, a rank call, raw exchanges."""

import json
import os
import shutil
import socket
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE_DIR = os.path.join(HERE, "..", "..", "rank-service")
sys.path.insert(0, SERVICE_DIR)

from rankstore import RankStore  # noqa: E402
from server import RankServer  # noqa: E402
from sqlitestore import SqliteBackend  # noqa: E402

SECRET = b"0123456789abcdef-test-secret"

def call_body(url, id_=1, uagent="Mozilla/4.0 (compatible; MSIE 8.0)",
              uid="{6B29FC40-CA47-1067-B31D-00DD010662DA}"):
    """A rank call's body; the client's own bytes are sent by the C++ rank
    exchange test against this service."""
    params = {"lang": "en-US", "ref": "", "uagent": uagent,
              "uid": uid, "url": url}
    return json.dumps({"agent": "ieaddon-2.2.0-73-stable-win-x86_64",
                       "id": id_, "method": "rank", "params": [params],
                       "version": "1.0"}, separators=(",", ":")).encode()


def post(body, path=b"/rank/", method=b"POST", extra=b""):
    return b"%s %s HTTP/1.1\r\nHost: x\r\n%sContent-Length: %d\r\n\r\n%s" % (
        method, path, extra, len(body), body)


def raw_answer(address, data, timeout=5):
    """Send bytes, read everything until the server closes."""
    with socket.create_connection(address, timeout=timeout) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        return b"".join(iter(lambda: s.recv(65536), b""))


def wait_for(check, timeout=60, what="the condition"):
    """Returns check()'s first true value; fails after a generous timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("no {} within {} s".format(what, timeout))
        time.sleep(0.01)


class FakeClock:
    def __init__(self, now=1_800_000_000):
        self.now = now

    def __call__(self):
        return self.now


def sqlite_store(folder, clock=None):
    """A store ranking only when asked, so tests decide when."""
    return RankStore(SqliteBackend(os.path.join(folder, "ranks.sqlite")),
                     SECRET, clock=clock or FakeClock(), recompute_every=None)


def visit(store, host, *uids):
    for uid in uids:
        store.lookup("http://{}/page".format(host), uid)


def settle(store):
    """Every queued lookup written, then ranked."""
    store.flush()
    store.recompute()


class LocalService:
    """A service in this process on 127.0.0.1 and a free port."""

    def __init__(self, fault=None):
        self.dir = tempfile.mkdtemp(prefix="rankservice-")
        self.store = sqlite_store(self.dir)
        self.lines = []
        self.server = RankServer(("127.0.0.1", 0), self.store, fault=fault,
                                 log=self.lines.append)
        self.address = self.server.server_address
        self._thread = threading.Thread(target=self.server.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()

    def close(self):
        self.server.stop()
        self._thread.join(5)
        self.store.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def wait_lines(self, count, timeout=5.0):
        """The log once it holds count lines (the log follows the send)."""
        deadline = time.monotonic() + timeout
        while len(self.lines) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        return list(self.lines)


def free_ports(count, spare_offset=None):
    """Ports free now on 127.0.0.1 (and, given an offset, port+offset)."""
    import random
    ports = []
    while len(ports) < count:
        # Below the ephemeral range (32768 on), bus ports included, so no
        # client socket takes one between this check and the bind.
        port = random.randrange(10000, 22000)
        wanted = [port] + ([port + spare_offset] if spare_offset else [])
        try:
            for p in wanted:
                with socket.socket() as s:
                    s.bind(("127.0.0.1", p))
        except OSError:
            continue
        if port not in ports:
            ports.append(port)
    return ports


def _die_with_parent():
    # The servers must not outlive a test run that is killed.
    import ctypes
    import signal
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class RedisCluster:
    """Three masters and three replicas on loopback, in a folder of their own."""

    def __init__(self):
        import subprocess
        import redis
        self.dir = tempfile.mkdtemp(prefix="rediscluster-")
        self.ports = free_ports(6, spare_offset=10000)  # +10000: cluster bus
        self.servers = {}
        try:
            for port in self.ports:
                folder = os.path.join(self.dir, str(port))
                os.mkdir(folder)
                self.servers[port] = subprocess.Popen(
                    ["redis-server", "--port", str(port), "--bind", "127.0.0.1",
                     "--cluster-enabled", "yes", "--cluster-node-timeout", "1000",
                     "--cluster-config-file", "nodes.conf", "--dir", folder,
                     "--save", "", "--appendonly", "no",
                     "--logfile", os.path.join(folder, "log")],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    preexec_fn=_die_with_parent)
            for port in self.ports:
                self._wait(lambda: redis.Redis(port=port).ping())
            subprocess.run(
                ["redis-cli", "--cluster", "create",
                 *["127.0.0.1:%d" % p for p in self.ports],
                 "--cluster-replicas", "1", "--cluster-yes"],
                check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                timeout=60)
            self.wait_ok()
            # Cluster ok comes before the replicas have synced; a master
            # killed then would have no one to take over.
            self._wait(lambda: sum(
                self.node(p).info("replication").get("master_link_status")
                == "up" for p in self.ports) == 3)
        except BaseException:
            self.close()
            raise
        self.url = "redis://" + ",".join("127.0.0.1:%d" % p for p in self.ports)

    @staticmethod
    def _wait(check, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            try:
                if check():
                    return
            except Exception:
                if time.monotonic() > deadline:
                    raise
            if time.monotonic() > deadline:
                raise TimeoutError("cluster not ready")
            time.sleep(0.1)

    def node(self, port):
        import redis
        return redis.Redis(port=port, socket_timeout=2)

    def live_ports(self):
        return [p for p, s in self.servers.items() if s.poll() is None]

    def wait_ok(self):
        """Every live node sees the cluster ok, every slot with a master."""
        def ok():
            return all(self.node(p).cluster("info")["cluster_state"] == "ok"
                       for p in self.live_ports())
        self._wait(ok)

    def masters(self):
        return [p for p in self.live_ports()
                if self.node(p).info("replication")["role"] == "master"]

    def flush(self):
        for port in self.masters():
            self.node(port).flushall()

    def kill(self, port):
        import signal
        self.servers[port].send_signal(signal.SIGKILL)
        self.servers[port].wait()

    def close(self):
        for server in self.servers.values():
            if server.poll() is None:
                server.terminate()
        for server in self.servers.values():
            try:
                server.wait(10)
            except Exception:
                server.kill()
                server.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


PYTHON = "/usr/bin/python3"  # Debian's, with the service's modules


class ServiceProcess:
    """rankservice.py as its own process on 127.0.0.1 and a free port."""

    def __init__(self, *args, folder=None):
        import subprocess
        self.dir = folder or tempfile.mkdtemp(prefix="rankservice-")
        self._own_dir = folder is None
        ready = os.path.join(self.dir, "ready.%d" % len(os.listdir(self.dir)))
        self.log_path = ready + ".log"
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                [PYTHON, os.path.join(SERVICE_DIR, "rankservice.py"),
                 "--listen", "127.0.0.1", "--port", "0", "--ready-file", ready,
                 *args], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                preexec_fn=_die_with_parent)
        deadline = time.monotonic() + 30
        while not os.path.exists(ready):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("service did not start: " + self.log())
            time.sleep(0.05)
        with open(ready) as f:
            host, port = f.read().split()
        self.address = (host, int(port))

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def rank(self, url, uid="u", timeout=5):
        """The answer's result, or raises."""
        answer = raw_answer(self.address, post(call_body(url, uid=uid)),
                            timeout=timeout)
        return json.loads(answer.partition(b"\r\n\r\n")[2])["result"]

    def get(self, path):
        return raw_answer(self.address, b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n"
                          % path.encode()).partition(b"\r\n\r\n")[2]

    def metric(self, name):
        for line in self.get("/metrics").decode().splitlines():
            if line.startswith(name + " "):
                return float(line.split()[1])
        return None

    def stop(self, signum=None):
        import signal
        if self.process.poll() is None:
            self.process.send_signal(signum or signal.SIGTERM)
        code = self.process.wait(30)
        if self._own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)
        return code
