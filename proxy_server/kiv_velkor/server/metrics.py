"""The server's Prometheus metrics (``GET /metrics``), in a registry of the
application's own: requests by route and status, requests in progress and
waiting, contexts busy, time to the first piece, pieces per second, tokens
generated, transcription time, requests refused by reason, and the
conversation cache's hits and misses.

The gauges that describe the contexts and the speech queue (summed over the
loaded models), and each model's own series (``kiv_model_*``: its state,
loads, failed loads, evictions, unloads and last load time, labelled by
model), are read from the model registry when the metrics are scraped.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import cast

from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.registry import Collector

from ..streaming.events import Finished
from ..streaming.models import ModelRegistry, ModelState
from ..streaming.pool import ModelPool
from ..streaming.speech.recogniser import SpeechRecogniser

__all__ = ["Metrics", "CONTENT_TYPE_LATEST"]

_LATENCY = (0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0)
_RATE = (1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0)
_WAIT = (0.01, 0.1, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0, 120.0, 300.0)


class Metrics:
    """The instruments; :meth:`render` is the text a scrape gets."""

    def __init__(self) -> None:
        r = self.registry = CollectorRegistry(auto_describe=True)
        self.requests = Counter("kiv_http_requests", "HTTP requests answered, by route, method and status",
                                ["route", "method", "status"], registry=r)
        self.in_progress = Gauge("kiv_http_requests_in_progress", "HTTP requests being answered, by route",
                                 ["route"], registry=r)
        self.rejected = Counter("kiv_requests_rejected", "Requests refused or cut short, by reason",
                                ["reason"], registry=r)
        self.first_piece = Histogram("kiv_time_to_first_piece_seconds",
                                     "From the request's start (its wait for a context included) to the first piece",
                                     buckets=_LATENCY, registry=r)
        self.pieces_per_second = Histogram("kiv_pieces_per_second", "Pieces (tokens) per second of each generation",
                                           buckets=_RATE, registry=r)
        self.tokens = Counter("kiv_tokens_generated", "Pieces (tokens) generated", registry=r)
        self.generations = Counter("kiv_generations", "Generations ended, by finish reason", ["finish_reason"],
                                   registry=r)
        self.transcription = Histogram("kiv_transcription_seconds", "Time the speech runtime took per transcription",
                                       buckets=_LATENCY, registry=r)
        self.queued = Gauge("kiv_requests_queued", "Requests waiting for a context or for the recogniser",
                            ["kind"], registry=r)
        self.queue_limit = Gauge("kiv_queue_limit", "Requests that may wait for a model's contexts at most",
                                 registry=r)
        self.queue_wait = Histogram("kiv_queue_wait_seconds", "Time requests waited for a context",
                                    buckets=_WAIT, registry=r)
        self.conversations = Counter("kiv_conversation_cache", "Chat requests that could go on from a context's "
                                     "conversation, by outcome (hit: they did; miss: they ran afresh)",
                                     ["outcome"], registry=r)
        self.contexts = Gauge("kiv_contexts", "Contexts in the pool", registry=r)
        self.contexts_busy = Gauge("kiv_contexts_busy", "Contexts lent to a request", registry=r)

    def bind(self, models: ModelRegistry) -> None:
        """Reads the registry's models at every scrape from now on."""
        def pools() -> list[ModelPool]:
            return [cast(ModelPool, p) for p in models.loaded("chat")]

        def recognisers() -> list[SpeechRecogniser]:
            return [cast(SpeechRecogniser, r) for r in models.loaded("speech")]

        self.contexts.set_function(lambda: sum(p.size for p in pools()))
        self.contexts_busy.set_function(lambda: sum(p.size - p.available for p in pools()))
        self.queued.labels("chat").set_function(lambda: sum(p.waiting for p in pools()))
        self.queue_limit.set_function(lambda: max((p.max_queue or 0 for p in pools()), default=0))
        if models.names("speech"):
            self.queued.labels("speech").set_function(lambda: sum(r.waiting for r in recognisers()))
        self.queued.labels("load").set_function(lambda: models.waiting)
        self.registry.register(_ModelSeries(models))

    def finished(self, finished: Finished) -> None:
        self.generations.labels(finished.finish_reason).inc()
        if finished.reused_messages is not None:
            self.conversations.labels("hit" if finished.reused_messages else "miss").inc()
        self.tokens.inc(finished.usage.completion_tokens)
        timings = finished.timings
        if timings.time_to_first_piece is not None:
            self.first_piece.observe(timings.time_to_first_piece)
        if timings.pieces_per_second is not None:
            self.pieces_per_second.observe(timings.pieces_per_second)

    def render(self) -> bytes:
        return generate_latest(self.registry)


class _ModelSeries(Collector):
    """Each model's series, read from the registry at every scrape."""

    def __init__(self, models: ModelRegistry) -> None:
        self.models = models

    def describe(self) -> list[Metric]:
        return []   # only known once scraped: the registry is bound after the application is made

    def collect(self) -> Iterator[Metric]:
        state = GaugeMetricFamily("kiv_model_state", "1 for each model's state now (loaded, loading, unloading, "
                                  "unloaded, failed)", labels=["model", "state"])
        loads = CounterMetricFamily("kiv_model_loads", "Loads of each model that succeeded", labels=["model"])
        failures = CounterMetricFamily("kiv_model_load_failures", "Loads of each model that failed", labels=["model"])
        evictions = CounterMetricFamily("kiv_model_evictions", "Unloads of each model to make room for another",
                                        labels=["model"])
        unloads = CounterMetricFamily("kiv_model_unloads", "Unloads of each model (evictions, idle time, asked for)",
                                      labels=["model"])
        seconds = GaugeMetricFamily("kiv_model_load_seconds", "How long each model's last load took",
                                    labels=["model"])
        for status in self.models.statuses():
            for each in ModelState:
                state.add_metric([status.name, each.value], 1.0 if status.state is each else 0.0)
            loads.add_metric([status.name], status.loads)
            failures.add_metric([status.name], status.failures)
            evictions.add_metric([status.name], status.evictions)
            unloads.add_metric([status.name], status.unloads)
            if status.load_seconds is not None:
                seconds.add_metric([status.name], status.load_seconds)
        yield from (state, loads, failures, evictions, unloads, seconds)
