"""``GET /v1/models``, ``GET /v1/models/{id}``, ``GET /health`` (liveness),
``GET /health/ready`` (readiness) and ``GET /metrics``: what the server
serves, and how it does."""

from __future__ import annotations

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from . import openai_shapes as shapes
from .metrics import CONTENT_TYPE_LATEST
from .server_common import RETRY_AFTER, ApiError, metrics, serving

__all__ = ["models", "model", "health", "ready", "metrics_text"]


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


def _phase(request: Request) -> str:
    state = getattr(request.app.state, "serving", None)
    if state is None:
        return "loading"
    return "closing" if state.pool.closed or request.app.state.stopping else "ok"


async def health(request: Request) -> Response:
    # Liveness (200 whenever the process answers), and how many contexts are free right now.
    phase = _phase(request)
    if phase == "loading":
        return JSONResponse({"status": phase})
    pool = serving(request).pool
    return JSONResponse({"status": phase, "contexts": pool.size, "available": pool.available})


async def ready(request: Request) -> Response:
    # Readiness: 503 while the models load and once the server stops, so a balancer sends nothing then.
    phase = _phase(request)
    if phase == "ok":
        return JSONResponse({"status": "ready"})
    return JSONResponse({"status": phase}, status_code=503, headers={"Retry-After": str(RETRY_AFTER)})


async def metrics_text(request: Request) -> Response:
    return Response(metrics(request).render(), media_type=CONTENT_TYPE_LATEST)
