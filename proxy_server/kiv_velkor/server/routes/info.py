"""``GET /v1/models``, ``GET /v1/models/{id}``, ``GET /health`` (liveness),
``GET /health/ready`` (readiness) and ``GET /metrics``: what the server
serves, and how it does. Each model's card carries its state (``status``, a
field OpenAI's clients ignore)."""

from __future__ import annotations

from typing import Any, cast

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from ...streaming.models import ModelState, ModelStatus
from ...streaming.pool import ModelPool
from ..metrics import CONTENT_TYPE_LATEST
from ..openai import shapes
from ..state import RETRY_AFTER, ApiError, metrics, serving

__all__ = ["models", "model", "health", "ready", "metrics_text", "status_of"]


def status_of(status: ModelStatus) -> dict[str, Any]:
    """A model's state as the server reports it: ``value`` is loaded, loading, unloading, unloaded or failed."""
    body: dict[str, Any] = {"value": status.state.value, "kind": status.kind, "loads": status.loads,
                            "failures": status.failures, "evictions": status.evictions, "unloads": status.unloads,
                            "load_seconds": None if status.load_seconds is None else round(status.load_seconds, 3)}
    if status.error is not None:
        body["error"] = status.error
    return body


async def models(request: Request) -> Response:
    state = serving(request)
    statuses = {s.name: status_of(s) for s in state.models.statuses()}
    return JSONResponse(shapes.model_list(state.model_ids(), state.created, statuses))


async def model(request: Request) -> Response:
    state = serving(request)
    model_id = str(request.path_params["model_id"])
    if model_id not in state.model_ids():
        raise ApiError(404, f"The model '{model_id}' does not exist; this server has "
                       f"{', '.join(repr(m) for m in state.model_ids())}", code="model_not_found", param="model")
    return JSONResponse(shapes.model_card(model_id, state.created, status_of(state.models.status(model_id))))


def _phase(request: Request) -> str:
    state = getattr(request.app.state, "serving", None)
    if state is None:
        return "loading"
    return "closing" if state.models.closed or request.app.state.stopping else "ok"


async def health(request: Request) -> Response:
    # Liveness (200 whenever the process answers), how many contexts of the loaded models are free right
    # now, and each model's state.
    phase = _phase(request)
    if phase == "loading":
        return JSONResponse({"status": phase})
    registry = serving(request).models
    pools = [cast(ModelPool, pool) for pool in registry.loaded("chat")]
    return JSONResponse({"status": phase, "contexts": sum(p.size for p in pools),
                         "available": sum(p.available for p in pools),
                         "models": {s.name: s.state.value for s in registry.statuses()}})


async def ready(request: Request) -> Response:
    # Readiness: 503 while the server loads the models it starts with and once it stops, so a balancer
    # sends nothing then; ?model=NAME: ready when that model is loaded.
    phase = _phase(request)
    if phase != "ok":
        return _not_ready({"status": phase})
    registry = serving(request).models
    statuses = {s.name: s for s in registry.statuses()}
    asked = request.query_params.get("model")
    if asked is not None:
        if asked not in statuses:
            raise ApiError(404, f"The model '{asked}' does not exist", code="model_not_found", param="model")
        if statuses[asked].state is not ModelState.LOADED:
            return _not_ready({"status": statuses[asked].state.value, "model": status_of(statuses[asked])})
    return JSONResponse({"status": "ready", "models": {name: status_of(s) for name, s in statuses.items()}})


def _not_ready(body: dict[str, Any]) -> Response:
    return JSONResponse(body, status_code=503, headers={"Retry-After": str(RETRY_AFTER)})


async def metrics_text(request: Request) -> Response:
    return Response(metrics(request).render(), media_type=CONTENT_TYPE_LATEST)
