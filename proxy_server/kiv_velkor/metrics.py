"""The server's Prometheus metrics (``GET /metrics``), in a registry of the
application's own: requests by route and status, requests in progress and
waiting, contexts busy, time to the first piece, pieces per second, tokens
generated, transcription time, requests refused by reason, and the
conversation cache's hits and misses.

The gauges that describe the pool and the recogniser are read when the
metrics are scraped, from functions the server binds once they are loaded.
"""

from __future__ import annotations

from collections.abc import Callable

from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge, Histogram, generate_latest

from .events import Finished

__all__ = ["Metrics", "CONTENT_TYPE_LATEST"]

_LATENCY = (0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0)
_RATE = (1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1000.0)


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
        self.conversations = Counter("kiv_conversation_cache", "Chat requests that could go on from a context's "
                                     "conversation, by outcome (hit: they did; miss: they ran afresh)",
                                     ["outcome"], registry=r)
        self.contexts = Gauge("kiv_contexts", "Contexts in the pool", registry=r)
        self.contexts_busy = Gauge("kiv_contexts_busy", "Contexts lent to a request", registry=r)

    def bind(self, contexts: int, free: Callable[[], int], waiting: Callable[[], int],
             speech_waiting: Callable[[], int] | None) -> None:
        """Reads the pool (and the recogniser) at every scrape from now on."""
        self.contexts.set(contexts)
        self.contexts_busy.set_function(lambda: contexts - free())
        self.queued.labels("chat").set_function(waiting)
        if speech_waiting is not None:
            self.queued.labels("speech").set_function(speech_waiting)

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
