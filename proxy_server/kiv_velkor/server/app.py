"""The HTTP application (Starlette): a thin translation between OpenAI's
request and response shapes (and Anthropic's Messages API) and the streaming
layer.

Needs the ``server`` extra (``pip install 'tessel-openai-server-kiv-velkor[server]'``).
``python -m tessel_openai_server.kiv_velkor serve`` runs it (see :mod:`.serve`).

The routes are data (:data:`ROUTES`); each handler lives with its endpoint
family in :mod:`.routes` (chat, completions, responses, messages,
speech, info, admin)
and reads what it serves from ``request.app.state.serving``, which
:func:`attach` sets once the server has its models (until then the routes
answer 503): a registry of named models, each loaded when a request first
names it (:func:`.state.model_pool`). Every request passes the middleware of
:mod:`.http.guard` first.
"""

from __future__ import annotations

import time
from collections.abc import AsyncIterator, Awaitable, Callable, Mapping
from contextlib import asynccontextmanager

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from ..streaming.errors import ServingError
from ..streaming.models import ModelRegistry, ModelSource, Servable
from ..streaming.pool import ModelPool
from ..streaming.request.prompt_tokens import PromptCounter
from ..streaming.speech.recogniser import SpeechRecogniser
from .http.guard import Guard, Refusal, RequestLog, normal_origin
from .metrics import Metrics
from .routes.admin import load_model, unload_model
from .routes.chat import chat_completions
from .routes.completions import completions
from .routes.info import health, metrics_text, model, models, ready
from .routes.messages import count_tokens, messages
from .routes.responses import responses
from .routes.speech import transcriptions, translations
from .state import ApiError, ServerSettings, Serving

__all__ = ["ServerSettings", "ROUTES", "create_app", "attach", "given_models"]

ROUTES = [
    Route("/health", health, methods=["GET"]),
    Route("/health/ready", ready, methods=["GET"]),
    Route("/metrics", metrics_text, methods=["GET"]),
    Route("/v1/models", models, methods=["GET"]),
    Route("/v1/models/{model_id:path}", model, methods=["GET"]),
    Route("/v1/chat/completions", chat_completions, methods=["POST"]),
    Route("/v1/completions", completions, methods=["POST"]),
    Route("/v1/responses", responses, methods=["POST"]),
    Route("/v1/messages", messages, methods=["POST"]),
    Route("/v1/messages/count_tokens", count_tokens, methods=["POST"]),
    Route("/v1/audio/transcriptions", transcriptions, methods=["POST"]),
    Route("/v1/audio/translations", translations, methods=["POST"]),
    Route("/models/load", load_model, methods=["POST"]),
    Route("/models/unload", unload_model, methods=["POST"]),
]


async def _api_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, ApiError)
    request.state.error_code = exc.code or str(exc.status)
    return exc.response(request.url.path)


async def _layer_error(request: Request, exc: Exception) -> Response:
    # The layer's errors wherever a route raises them.
    assert isinstance(exc, ServingError)
    return await _api_error(request, ApiError.of(exc))


async def _refusal(request: Request, exc: Exception) -> Response:
    # A body refused while a route read it (too large, too slow).
    assert isinstance(exc, Refusal)
    request.state.error_code = exc.code
    error = ApiError(exc.status, exc.message, exc.error_type, exc.code)
    response = error.response(request.url.path)
    response.headers.update(dict(exc.headers))
    return response


async def _http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    return ApiError(exc.status_code, str(exc.detail)).response(request.url.path)


def _middleware(settings: ServerSettings, meter: Metrics) -> list[Middleware]:
    guard = settings.guard
    stack = [Middleware(RequestLog, metrics=meter, routes=ROUTES, access_log=guard.access_log)]
    if guard.cors_origins:
        stack.append(Middleware(CORSMiddleware, allow_origins=[normal_origin(o) for o in guard.cors_origins],
                                allow_methods=["GET", "POST"], allow_headers=["*"], expose_headers=["x-request-id"],
                                max_age=600))
    stack.append(Middleware(Guard, settings=guard))
    return stack


def create_app(pool: ModelPool | ModelRegistry | None, settings: ServerSettings,
               recogniser: SpeechRecogniser | None = None, on_shutdown: Callable[[], Awaitable[None]] | None = None, *,
               on_startup: Callable[[Starlette], Awaitable[None]] | None = None,
               counter: PromptCounter | None = None) -> Starlette:
    """The application serving ``pool`` (named ``settings.model_name``) and ``recogniser`` (named
    ``settings.asr_model_name``), or the models of a registry, under OpenAI's paths; without them it
    answers 503 (``/health``: loading) until :func:`attach` gives it some."""

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


def attach(app: Starlette, models: ModelPool | ModelRegistry, settings: ServerSettings,
           recogniser: SpeechRecogniser | None = None, counter: PromptCounter | None = None, *,
           counters: Mapping[str, PromptCounter] | None = None) -> None:
    """Makes ``app`` serve the registry ``models`` (``counters``: the tokenizers of its models, by name), or
    the loaded ``pool`` and ``recogniser`` (``counter``: the pool's tokenizer), named as ``settings`` says."""
    if not isinstance(models, ModelRegistry):
        models = given_models(models, settings, recogniser)
        counters = {settings.model_name: counter} if counter is not None else counters
    meter: Metrics = app.state.metrics
    meter.bind(models)
    app.state.serving = Serving(models, settings, int(time.time()), dict(counters or {}))


def given_models(pool: ModelPool, settings: ServerSettings, recogniser: SpeechRecogniser | None = None) \
        -> ModelRegistry:
    """A registry of models given loaded: they stay loaded, as the caller made them."""
    sources = [ModelSource(settings.model_name, None, "chat")]
    loaded: dict[str, Servable] = {settings.model_name: pool}
    if recogniser is not None:
        name = settings.asr_model_name or "whisper-1"
        sources.append(ModelSource(name, None, "speech"))
        loaded[name] = recogniser
    return ModelRegistry(sources, loaded=loaded, load_timeout=settings.load_timeout)
