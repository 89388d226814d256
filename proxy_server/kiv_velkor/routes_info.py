"""``GET /v1/models`` and ``GET /health``: what the server serves, and how busy it is."""

from __future__ import annotations

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from . import openai_shapes as shapes
from .server_common import serving

__all__ = ["models", "health"]


async def models(request: Request) -> Response:
    state = serving(request)
    ids = [state.settings.model_name]
    if state.recogniser is not None and state.settings.asr_model_name:
        ids.append(state.settings.asr_model_name)
    return JSONResponse(shapes.model_list(ids, state.created))


async def health(request: Request) -> Response:
    # For load balancers and tests: how many contexts are free right now.
    pool = serving(request).pool
    return JSONResponse({"status": "closing" if pool.closed else "ok", "contexts": pool.size,
                         "available": pool.available})
