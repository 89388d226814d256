"""``GET /v1/models``, ``GET /v1/models/{id}`` and ``GET /health``: what the
server serves, and how busy it is."""

from __future__ import annotations

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from . import openai_shapes as shapes
from .server_common import ApiError, serving

__all__ = ["models", "model", "health"]


async def models(request: Request) -> Response:
    state = serving(request)
    return JSONResponse(shapes.model_list(state.model_ids(), state.created))


async def model(request: Request) -> Response:
    state = serving(request)
    model_id = str(request.path_params["model_id"])
    if model_id not in state.model_ids():
        raise ApiError(404, f"The model '{model_id}' does not exist; this server has "
                       f"{', '.join(repr(m) for m in state.model_ids())}", code="model_not_found", param="model")
    return JSONResponse(shapes.model_card(model_id, state.created))


async def health(request: Request) -> Response:
    # For load balancers and tests: how many contexts are free right now.
    pool = serving(request).pool
    return JSONResponse({"status": "closing" if pool.closed else "ok", "contexts": pool.size,
                         "available": pool.available})
