"""``POST /v1/audio/transcriptions`` and ``POST /v1/audio/translations``: a
multipart upload of an audio file to the speech recogniser, answered as
json, text, srt, verbose_json or vtt, or (transcriptions) streamed as
transcript events.

``prompt`` and ``temperature`` are checked and accepted, but the runtimes
take neither: the text does not depend on them.
"""

from __future__ import annotations

from dataclasses import dataclass

from starlette.datastructures import FormData, UploadFile
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse, Response, StreamingResponse
from starlette.types import Message

from . import speech_shapes as shapes
from .errors import ServingError
from .server_common import ApiError, read_capped, serving
from .speech import SpeechRecogniser

__all__ = ["transcriptions", "translations"]

# The form fields each endpoint takes (a list field may come as "name[]").
FIELDS = {
    "transcribe": {"file", "model", "language", "prompt", "response_format", "temperature", "timestamp_granularities",
                   "stream"},
    "translate": {"file", "model", "prompt", "response_format", "temperature"},
}
MEDIA_TYPES = {"text": "text/plain", "srt": "text/plain", "vtt": "text/vtt"}


@dataclass(frozen=True)
class SpeechRequest:
    audio: bytes
    response_format: str
    language: str
    stream: bool


async def transcriptions(request: Request) -> Response:
    return await _answer(request, "transcribe")


async def translations(request: Request) -> Response:
    return await _answer(request, "translate")


async def _answer(request: Request, task: str) -> Response:
    state = serving(request)
    recogniser: SpeechRecogniser | None = state.recogniser
    if recogniser is None:
        raise ApiError(404, "this server has no speech model (start it with --asr-model)", code="model_not_found")
    form = await _read_form(request, state.settings.max_upload_bytes)
    try:
        speech = await _speech_request(form, task, str(state.settings.asr_model_name))
    finally:
        await form.close()
    try:
        result = await recogniser.atranscribe(speech.audio, language=speech.language, task=task)
    except ServingError as exc:
        raise ApiError.of(exc) from None
    duration = result.audio_seconds or 0.0
    if speech.stream:
        return StreamingResponse(shapes.stream_events(result.text), media_type="text/event-stream")
    if speech.response_format == "text":
        return PlainTextResponse(result.text)
    if speech.response_format in ("srt", "vtt"):
        return PlainTextResponse(shapes.subtitles(result.text, duration, speech.response_format),
                                 media_type=MEDIA_TYPES[speech.response_format])
    return JSONResponse(shapes.transcription(result.text, result.language, speech.response_format, duration, task))


async def _read_form(request: Request, limit: int) -> FormData:
    body = await read_capped(request, limit)

    async def replay() -> Message:
        return {"type": "http.request", "body": body, "more_body": False}

    try:
        return await Request(request.scope, replay).form(max_files=1, max_fields=16)
    except Exception as exc:   # a body that is no multipart form
        raise ApiError(400, f"expected a multipart/form-data upload: {exc}") from None


def _text(form: FormData, name: str, default: str) -> str:
    value = form.get(name)
    if value is None or value == "":
        return default
    if not isinstance(value, str):
        raise ApiError(400, f"{name} must be a string, not a file", param=name)
    return value


async def _speech_request(form: FormData, task: str, model_name: str) -> SpeechRequest:
    """The request's fields, checked; every field is used or refused."""
    for name in form.keys():
        if name.removesuffix("[]") not in FIELDS[task]:
            raise ApiError(400, f"{name} is not supported by this server", param=name)
    upload = form.get("file")
    if not isinstance(upload, UploadFile):
        raise ApiError(400, "the upload needs a 'file' part", param="file")
    model = _text(form, "model", "")
    if model != model_name:
        raise ApiError(404, f"The model '{model}' does not exist; this server has '{model_name}'",
                       code="model_not_found", param="model")
    response_format = _text(form, "response_format", "json")
    if response_format not in shapes.RESPONSE_FORMATS:
        raise ApiError(400, f"response_format must be one of {', '.join(shapes.RESPONSE_FORMATS)}",
                       param="response_format")
    _text(form, "prompt", "")   # accepted; the runtimes take no prompt
    _check_temperature(_text(form, "temperature", "0"))
    _check_granularities(form, response_format)
    stream = _flag(_text(form, "stream", "false"), "stream")
    if stream and response_format != "json":
        raise ApiError(400, "stream=true answers with transcript events: response_format must be json",
                       param="response_format")
    return SpeechRequest(await upload.read(), response_format, _text(form, "language", "auto"), stream)


def _check_temperature(value: str) -> None:
    try:
        temperature = float(value)
    except ValueError:
        temperature = -1.0
    if not 0.0 <= temperature <= 1.0:
        raise ApiError(400, "temperature must be a number between 0 and 1", param="temperature")


def _check_granularities(form: FormData, response_format: str) -> None:
    granularities = [*form.getlist("timestamp_granularities[]"), *form.getlist("timestamp_granularities")]
    if not granularities:
        return
    if response_format != "verbose_json":
        raise ApiError(400, "timestamp_granularities needs response_format verbose_json",
                       param="timestamp_granularities")
    for granularity in granularities:
        if granularity == "word":
            raise ApiError(400, "the speech runtime reports no word timings: timestamp_granularities may only "
                           "hold segment", param="timestamp_granularities")
        if granularity != "segment":
            raise ApiError(400, "timestamp_granularities may hold word or segment", param="timestamp_granularities")


def _flag(value: str, name: str) -> bool:
    lowered = value.lower()
    if lowered not in ("true", "false"):
        raise ApiError(400, f"{name} must be true or false", param=name)
    return lowered == "true"
