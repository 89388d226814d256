"""``POST /v1/audio/transcriptions``: a multipart upload of a WAV file to the
speech recogniser, answered as json, text or verbose_json."""

from __future__ import annotations

import asyncio

from starlette.datastructures import UploadFile
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse, Response

from . import openai_shapes as shapes
from .errors import ServingError
from .http_guard import Refusal
from .http_stream import HangupWatch
from .server_common import ApiError, ServerSettings, metrics, serving
from .speech import SpeechRecogniser

__all__ = ["transcriptions"]

RESPONSE_FORMATS = ("json", "text", "verbose_json")


async def transcriptions(request: Request) -> Response:
    state = serving(request)
    recogniser = state.recogniser
    if recogniser is None:
        raise ApiError(404, "this server has no speech model (start it with --asr-model)", code="model_not_found")
    admitted = False
    try:
        # A place in the recogniser's queue first: a full queue is a 503 before any upload is stored.
        with recogniser.admitted():
            admitted = True
            return await _transcribe(request, state.settings, recogniser)
    except ServingError as exc:
        if not admitted:   # read and dropped, so that a client still sending its upload reads the answer
            async for _ in request.stream():
                pass
        raise ApiError.of(exc) from None


async def _transcribe(request: Request, settings: ServerSettings, recogniser: SpeechRecogniser) -> Response:
    try:
        form = await request.form(max_files=1, max_fields=16)
    except Refusal:
        raise
    except Exception as exc:   # a body that is no multipart form
        raise ApiError(400, f"expected a multipart/form-data upload: {exc}") from None
    upload = form.get("file")
    if not isinstance(upload, UploadFile):
        raise ApiError(400, "the upload needs a 'file' part", param="file")
    model = form.get("model")
    if model != settings.asr_model_name:
        raise ApiError(404, f"The model '{model}' does not exist; this server has '{settings.asr_model_name}'",
                       code="model_not_found", param="model")
    response_format = form.get("response_format") or "json"
    if response_format not in RESPONSE_FORMATS:
        raise ApiError(400, "response_format must be json, text or verbose_json", param="response_format")
    language = form.get("language") or "auto"
    if not isinstance(language, str):
        raise ApiError(400, "language must be a string", param="language")
    audio = await upload.read()
    # A client that hangs up while its transcription waits for its turn takes it out of the queue.
    job = asyncio.ensure_future(recogniser.atranscribe(audio, language=language, wait_timeout=settings.wait_timeout))
    async with HangupWatch(request.receive, job.cancel) as watch:
        await asyncio.wait((job,))
    if watch.gone:
        return Response(status_code=499)
    result = job.result()
    metrics(request).transcription.observe(result.seconds)
    if response_format == "text":
        return PlainTextResponse(result.text)
    return JSONResponse(shapes.transcription(result.text, result.language, str(response_format)))
