"""The OpenAI-compatible HTTP application (Starlette): a thin translation
between OpenAI's request and response shapes and the streaming layer.

Needs the ``server`` extra (``pip install 'tessel-openai-server-kiv-velkor[server]'``).
``python -m tessel_openai_server.kiv_velkor serve`` runs it (see :mod:`.serve`).

The routes are data (:data:`ROUTES`); each handler lives with its endpoint
family (:mod:`.routes_chat`, :mod:`.routes_completions`, :mod:`.routes_responses`,
:mod:`.routes_speech`, :mod:`.routes_info`) and
reads what it serves from ``request.app.state.serving``.
"""

from __future__ import annotations

import time
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from .errors import ServingError
from .pool import ModelPool
from .prompt_tokens import PromptCounter
from .routes_chat import chat_completions
from .routes_completions import completions
from .routes_info import health, model, models
from .routes_responses import responses
from .routes_speech import transcriptions, translations
from .server_common import ApiError, ServerSettings, Serving
from .speech import SpeechRecogniser

__all__ = ["ServerSettings", "ROUTES", "create_app"]

ROUTES = [
    Route("/health", health, methods=["GET"]),
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
    return exc.response()


async def _layer_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, ServingError)
    return ApiError.of(exc).response()


async def _http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    return ApiError(exc.status_code, str(exc.detail)).response()


async def _internal_error(request: Request, exc: Exception) -> Response:
    return ApiError(500, f"internal error: {exc}", "server_error").response()


def create_app(pool: ModelPool, settings: ServerSettings, recogniser: SpeechRecogniser | None = None,
               on_shutdown: Callable[[], Awaitable[None]] | None = None,
               counter: PromptCounter | None = None) -> Starlette:
    """The application serving ``pool`` (and ``recogniser``) under OpenAI's paths."""

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        yield
        if on_shutdown is not None:
            await on_shutdown()

    app = Starlette(routes=ROUTES, lifespan=lifespan,
                    exception_handlers={ApiError: _api_error, ServingError: _layer_error, HTTPException: _http_error,
                                        Exception: _internal_error})
    app.state.serving = Serving(pool, settings, recogniser, int(time.time()), counter)
    return app
