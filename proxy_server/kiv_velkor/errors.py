"""Errors of the serving layer, each carrying what a server maps to an HTTP status.

They derive from the exceptions raised by the modules and by Python today
(``RuntimeError``, ``ValueError``), so existing ``except`` clauses keep
catching them; :class:`ServingError` catches them all.
"""

from __future__ import annotations

__all__ = ["ServingError", "ModelLoadError", "InvalidRequest", "RequestRejected", "PoolError", "PoolClosed",
           "PoolExhausted", "PoolForked", "NoRunThread", "TranscriptionError"]


class ServingError(Exception):
    """Base of the layer's errors: ``http_status``, an OpenAI error ``error_type`` and ``code``."""

    http_status = 500
    error_type = "server_error"
    code: str | None = None

    def __init__(self, message: str, *, param: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.param = param


class ModelLoadError(ServingError, RuntimeError):
    """The runtime refused the model (``init`` returned FAILED); nothing of the pool stays open."""

    code = "model_load_failed"


class InvalidRequest(ServingError, ValueError):
    """The request is malformed: wrong types or values, an undecodable image or audio file."""

    http_status = 400
    error_type = "invalid_request_error"
    code = "invalid_request"


class RequestRejected(ServingError, RuntimeError):
    """The runtime reported an error before it generated anything; the message is its reason."""

    http_status = 400
    error_type = "invalid_request_error"
    code = "request_rejected"


class PoolError(ServingError, RuntimeError):
    """No context can be had for the request."""

    http_status = 503
    error_type = "server_error"


class PoolClosed(PoolError):
    """The pool is closed (or closing) and takes no more requests."""

    code = "pool_closed"


class PoolExhausted(PoolError):
    """Every context stayed busy for the whole bounded wait."""

    code = "pool_exhausted"


class PoolForked(PoolError):
    """The pool was made in the process that forked this one: it serves only there."""

    code = "pool_forked"


class NoRunThread(PoolError):
    """No thread could be started for the run (the machine is out of threads); nothing was queued."""

    code = "no_run_thread"


class TranscriptionError(ServingError, RuntimeError):
    """The speech runtime failed on the audio."""

    code = "transcription_failed"
