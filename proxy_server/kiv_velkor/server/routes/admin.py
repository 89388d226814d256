"""``POST /models/load`` and ``POST /models/unload`` (``{"model": NAME}``, the
paths llama.cpp's router mode uses): an operator loads a model before its
first request, or gives its memory back. Behind the API key when the server
has keys, as every route but the health checks.

A load answers once the model is loaded (the wait bounded as a request's);
an unload waits (as long as a request waits for a context) for the model's
requests in progress to end: 200 once it is unloaded, 202 when it is still
busy and unloads as soon as it is idle (unless new requests keep it in use).
"""

from __future__ import annotations

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from ...streaming.models import ModelState
from ..state import ApiError, field_of, read_json_object, serving
from .info import status_of

__all__ = ["load_model", "unload_model"]


async def _named(request: Request) -> str:
    body = await read_json_object(request)
    for name in body:
        if name != "model":
            raise ApiError(400, f"{name} is not supported by this endpoint (it takes model)", param=name)
    model = field_of(body, "model", str)
    if model is None:
        raise ApiError(400, "model is required", param="model")
    if model not in serving(request).model_ids():
        raise ApiError(404, f"The model '{model}' does not exist; this server has "
                       f"{', '.join(repr(m) for m in serving(request).model_ids())}", code="model_not_found",
                       param="model")
    return str(model)


async def load_model(request: Request) -> Response:
    model = await _named(request)
    state = serving(request)
    status = await state.models.aload(model, state.settings.load_timeout)
    return JSONResponse({"model": model, "status": status_of(status)})


async def unload_model(request: Request) -> Response:
    model = await _named(request)
    state = serving(request)
    try:
        status = await state.models.aunload(model, state.settings.wait_timeout)
    except ValueError as exc:   # given to the server loaded, for its whole life
        raise ApiError(400, str(exc), param="model") from None
    done = status.state in (ModelState.UNLOADED, ModelState.FAILED)
    return JSONResponse({"model": model, "status": status_of(status)}, status_code=200 if done else 202)
