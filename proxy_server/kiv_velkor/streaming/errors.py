"""Errors of the serving layer, each carrying what a server maps to an HTTP status.

They derive from the exceptions raised by the modules and by Python today
(``RuntimeError``, ``ValueError``), so existing ``except`` clauses keep
catching them; :class:`ServingError` catches them all.
"""

from __future__ import annotations

__all__ = ["ServingError", "ModelLoadError", "ModelNotFound", "InvalidRequest", "LimitExceeded", "RequestRejected",
           "ContextLengthExceeded", "ContextResetFailed", "PoolError", "PoolClosed", "PoolExhausted", "PoolForked",
           "QueueFull", "NoRunThread", "ModelUnavailable", "RecogniserBusy", "TranscriptionError"]


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


class ModelNotFound(ServingError, LookupError):
    """The request names a model the registry does not have (or one of another kind)."""

    http_status = 404
    error_type = "invalid_request_error"
    code = "model_not_found"


class InvalidRequest(ServingError, ValueError):
    """The request is malformed: wrong types or values, an undecodable image or audio file."""

    http_status = 400
    error_type = "invalid_request_error"
    code = "invalid_request"


class LimitExceeded(InvalidRequest):
    """The request asks for more than the server's bounds allow (messages, images, pixels, stops, tools)."""

    code = "limit_exceeded"


class RequestRejected(ServingError, RuntimeError):
    """The runtime reported an error before it generated anything; the message is its reason."""

    http_status = 400
    error_type = "invalid_request_error"
    code = "request_rejected"


class ContextLengthExceeded(RequestRejected):
    """The prompt does not fit in the model's context; nothing was generated.

    The message and code are OpenAI's, which clients and agent frameworks
    recognise to shorten the conversation. ``context_size`` is None when the
    layer was not told the context's size."""

    code = "context_length_exceeded"

    def __init__(self, prompt_tokens: int | None, context_size: int | None, *, what: str = "messages") -> None:
        limit = f"is {context_size} tokens" if context_size else "was exceeded"
        given = f"resulted in {prompt_tokens} tokens" if prompt_tokens else "do not fit"
        super().__init__(f"This model's maximum context length {limit}. However, your {what} {given}. "
                         f"Please reduce the length of the {what}.", param=what)
        self.prompt_tokens = prompt_tokens
        self.context_size = context_size


class ContextResetFailed(ServingError, RuntimeError):
    """The runtime could not drop what a context kept of another conversation: the request did not run."""

    code = "context_reset_failed"


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


class QueueFull(PoolError):
    """As many requests as the pool queues wait for a context already."""

    code = "queue_full"


class PoolForked(PoolError):
    """The pool was made in the process that forked this one: it serves only there."""

    code = "pool_forked"


class NoRunThread(PoolError):
    """No thread could be started for the run (the machine is out of threads); nothing was queued."""

    code = "no_run_thread"


class ModelUnavailable(PoolError):
    """The model stayed unloaded for the whole bounded wait: still loading (``code`` model_loading), or no
    room to load it because every loaded model stayed busy (models_busy)."""

    def __init__(self, message: str, *, code: str = "model_loading") -> None:
        super().__init__(message, param="model")
        self.code = code


class RecogniserBusy(PoolError):
    """The speech recogniser's queue is full, or a transcription waited its whole bounded wait for its turn."""

    code = "recogniser_busy"


class TranscriptionError(ServingError, RuntimeError):
    """The speech runtime failed on the audio."""

    code = "transcription_failed"
