"""GET /metrics in Prometheus' text format, one registry per process."""

from prometheus_client import CollectorRegistry, Counter, Histogram
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
from prometheus_client.exposition import CONTENT_TYPE_LATEST, generate_latest


class Metrics:
    def __init__(self, store):
        self.registry = CollectorRegistry()
        self._requests = Counter("rank_requests", "Answers sent, by HTTP status",
                                 ["code"], registry=self.registry)
        self._latency = Histogram(
            "rank_answer_seconds", "From accept to the answer sent",
            buckets=(.0005, .001, .002, .005, .01, .025, .05, .1, .25, 1, 5),
            registry=self.registry)
        self._by_status = {}
        self.server = None
        self.registry.register(_StoreCollector(store, self))

    def answered(self, status, seconds):
        counter = self._by_status.get(status)
        if counter is None:
            counter = self._by_status[status] = self._requests.labels(
                str(status))
        counter.inc()
        self._latency.observe(seconds)

    def exposition(self):
        return CONTENT_TYPE_LATEST, generate_latest(self.registry)


class _StoreCollector:
    """Reads the store's plain counters at scrape time."""

    def __init__(self, store, metrics):
        self._store = store
        self._metrics = metrics

    def collect(self):
        stats = self._store.stats
        yield CounterMetricFamily("rank_lookups_recorded",
                                  "Lookups committed to the store",
                                  value=stats.recorded)
        yield CounterMetricFamily("rank_lookups_dropped",
                                  "Lookups lost: queue full or store down "
                                  "at stop", value=stats.dropped)
        yield CounterMetricFamily("rank_store_write_errors",
                                  "Failed batch writes (retried)",
                                  value=stats.write_errors)
        yield CounterMetricFamily("rank_recomputes",
                                  "Rankings computed by this process",
                                  value=stats.recomputes)
        if stats.recompute_seconds is not None:
            yield GaugeMetricFamily("rank_recompute_seconds",
                                    "Duration of this process's last recompute",
                                    value=stats.recompute_seconds)
        age = self._store.table_age()
        if age is not None:
            yield GaugeMetricFamily("rank_table_age_seconds",
                                    "Age of the ranking table answered from",
                                    value=age)
        server = self._metrics.server
        if server is not None:
            yield GaugeMetricFamily("rank_connections_open",
                                    "Connections being served",
                                    value=server.connections)
            yield CounterMetricFamily("rank_connections_evicted",
                                      "Connections dropped at the bound",
                                      value=server.evicted)
