"""``GET /v1/models``, ``GET /health`` (liveness), ``GET /health/ready``
(readiness) and ``GET /metrics``: what the server serves, and how it does."""

from __future__ import annotations

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from . import openai_shapes as shapes
from .metrics import CONTENT_TYPE_LATEST
from .server_common import RETRY_AFTER, metrics, serving

__all__ = ["models", "health", "ready", "metrics_text"]


async def models(request: Request) -> Response:
    state = serving(request)
    ids = [state.settings.model_name]
    if state.recogniser is not None and state.settings.asr_model_name:
        ids.append(state.settings.asr_model_name)
    return JSONResponse(shapes.model_list(ids, state.created))


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
