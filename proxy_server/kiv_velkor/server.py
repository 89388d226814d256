"""The OpenAI-compatible HTTP application (Starlette): a thin translation
between OpenAI's request and response shapes and the streaming layer.

Needs the ``server`` extra (``pip install 'tessel-openai-server-kiv-velkor[server]'``).
``python -m tessel_openai_server.kiv_velkor serve`` runs it (see :mod:`.serve`).

The routes are data (:data:`ROUTES`); each handler lives with its endpoint
family (:mod:`.routes_chat`, :mod:`.routes_completions`, :mod:`.routes_responses`,
:mod:`.routes_speech`, :mod:`.routes_info`) and
reads what it serves from ``request.app.state.serving``, which :func:`attach`
sets once the models are loaded (until then the routes answer 503). Every
request passes the middleware of :mod:`.http_guard` first.
"""

from __future__ import annotations

import time
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from .errors import ServingError
from .http_guard import Guard, Refusal, RequestLog
from .metrics import Metrics
from .pool import ModelPool
from .prompt_tokens import PromptCounter
from .routes_chat import chat_completions
from .routes_completions import completions
from .routes_info import health, metrics_text, model, models, ready
from .routes_responses import responses
from .routes_speech import transcriptions, translations
from .server_common import ApiError, ServerSettings, Serving
from .speech import SpeechRecogniser

__all__ = ["ServerSettings", "ROUTES", "create_app", "attach"]

ROUTES = [
    Route("/health", health, methods=["GET"]),
    Route("/health/ready", ready, methods=["GET"]),
    Route("/metrics", metrics_text, methods=["GET"]),
    Route("/v1/models", models, methods=["GET"]),
    Route("/v1/models/{model_id:path}", model, methods=["GET"]),
    Route("/v1/chat/completions", chat_completions, methods=["POST"]),
    Route("/v1/completions", completions, methods=["POST"]),
    Route("/v1/responses", responses, methods=["POST"]),
    Route("/v1/audio/transcriptions", transcriptions, methods=["POST"]),
    Route("/v1/audio/translations", translations, methods=["POST"]),
]


async def _api_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, ApiError)
    request.state.error_code = exc.code or str(exc.status)
    return exc.response()


async def _layer_error(request: Request, exc: Exception) -> Response:
    # The layer's errors wherever a route raises them, in OpenAI's shape.
    assert isinstance(exc, ServingError)
    return await _api_error(request, ApiError.of(exc))


async def _refusal(request: Request, exc: Exception) -> Response:
    # A body refused while a route read it (too large, too slow).
    assert isinstance(exc, Refusal)
    request.state.error_code = exc.code
    error = ApiError(exc.status, exc.message, exc.error_type, exc.code)
    response = error.response()
    response.headers.update(dict(exc.headers))
    return response


async def _http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    return ApiError(exc.status_code, str(exc.detail)).response()


def _middleware(settings: ServerSettings, meter: Metrics) -> list[Middleware]:
    guard = settings.guard
    stack = [Middleware(RequestLog, metrics=meter, routes=ROUTES, access_log=guard.access_log)]
    if guard.cors_origins:
        stack.append(Middleware(CORSMiddleware, allow_origins=list(guard.cors_origins),
                                allow_methods=["GET", "POST"], allow_headers=["*"], expose_headers=["x-request-id"],
                                max_age=600))
    stack.append(Middleware(Guard, settings=guard))
    return stack


def create_app(pool: ModelPool | None, settings: ServerSettings, recogniser: SpeechRecogniser | None = None,
               on_shutdown: Callable[[], Awaitable[None]] | None = None, *,
               on_startup: Callable[[Starlette], Awaitable[None]] | None = None,
               counter: PromptCounter | None = None) -> Starlette:
    """The application serving ``pool`` (and ``recogniser``) under OpenAI's paths; without a pool it
    answers 503 (``/health``: loading) until :func:`attach` gives it one."""

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        if on_startup is not None:
            await on_startup(app)
        yield
        if on_shutdown is not None:
            await on_shutdown()
        state = getattr(app.state, "serving", None)
        if isinstance(state, Serving):
            state.preparing.shutdown(wait=False)

    meter = Metrics()
    app = Starlette(routes=ROUTES, lifespan=lifespan, middleware=_middleware(settings, meter),
                    exception_handlers={ApiError: _api_error, ServingError: _layer_error, Refusal: _refusal,
                                        HTTPException: _http_error})
    app.state.metrics = meter
    app.state.stopping = False
    if pool is not None:
        attach(app, pool, settings, recogniser, counter)
    return app


def attach(app: Starlette, pool: ModelPool, settings: ServerSettings,
           recogniser: SpeechRecogniser | None = None, counter: PromptCounter | None = None) -> None:
    """Makes ``app`` serve the loaded ``pool`` and ``recogniser``."""
    meter: Metrics = app.state.metrics
    meter.bind(pool.size, lambda: pool.available, lambda: pool.waiting,
               (lambda: recogniser.waiting) if recogniser is not None else None)
    app.state.serving = Serving(pool, settings, recogniser, int(time.time()), counter)
