"""``POST /v1/audio/transcriptions``: a multipart upload of a WAV file to the
speech recogniser, answered as json, text or verbose_json."""

from __future__ import annotations

from starlette.datastructures import UploadFile
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse, Response
from starlette.types import Message

from . import openai_shapes as shapes
from .errors import ServingError
from .server_common import ApiError, read_capped, serving

__all__ = ["transcriptions"]

RESPONSE_FORMATS = ("json", "text", "verbose_json")


async def transcriptions(request: Request) -> Response:
    state = serving(request)
    recogniser = state.recogniser
    if recogniser is None:
        raise ApiError(404, "this server has no speech model (start it with --asr-model)", code="model_not_found")
    body = await read_capped(request, state.settings.max_upload_bytes)

    async def replay() -> Message:
        return {"type": "http.request", "body": body, "more_body": False}

    try:
        form = await Request(request.scope, replay).form(max_files=1, max_fields=16)
    except Exception as exc:   # a body that is no multipart form
        raise ApiError(400, f"expected a multipart/form-data upload: {exc}") from None
    upload = form.get("file")
    if not isinstance(upload, UploadFile):
        raise ApiError(400, "the upload needs a 'file' part", param="file")
    model = form.get("model")
    if model != state.settings.asr_model_name:
        raise ApiError(404, f"The model '{model}' does not exist; this server has '{state.settings.asr_model_name}'",
                       code="model_not_found", param="model")
    response_format = form.get("response_format") or "json"
    if response_format not in RESPONSE_FORMATS:
        raise ApiError(400, "response_format must be json, text or verbose_json", param="response_format")
    language = form.get("language") or "auto"
    if not isinstance(language, str):
        raise ApiError(400, "language must be a string", param="language")
    audio = await upload.read()
    try:
        result = await recogniser.atranscribe(audio, language=language)
    except ServingError as exc:
        raise ApiError.of(exc) from None
    if response_format == "text":
        return PlainTextResponse(result.text)
    return JSONResponse(shapes.transcription(result.text, result.language, str(response_format)))
