"""``POST /v1/audio/transcriptions`` and ``POST /v1/audio/translations``: a
multipart upload of an audio file to the speech recogniser, answered as
json, text, srt, verbose_json or vtt, or (transcriptions) streamed as
transcript events.

``prompt`` and ``temperature`` are checked and accepted, but the runtimes
take neither: the text does not depend on them.
"""

from __future__ import annotations

import asyncio
import contextlib
from collections.abc import AsyncIterator
from dataclasses import dataclass

from starlette.datastructures import FormData, UploadFile
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse, Response, StreamingResponse

from ...streaming.errors import ServingError
from ...streaming.speech.recogniser import SpeechRecogniser, Transcription
from ..http.guard import Refusal
from ..http.stream import HangupWatch
from ..openai import speech_shapes as shapes
from ..state import ApiError, metrics, serving, speech_model

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
    model: str


async def transcriptions(request: Request) -> Response:
    return await _answer(request, "transcribe")


async def translations(request: Request) -> Response:
    return await _answer(request, "translate")


async def _answer(request: Request, task: str) -> Response:
    names = serving(request).models.names("speech")
    if not names:
        raise ApiError(404, "this server has no speech model (start it with --asr-model)", code="model_not_found")
    if len(names) > 1:   # which one the upload's form names is known once the form is read
        speech = await _read_request(request, task, names)
        async with _placed(request, speech.model, drain=False) as recogniser:
            return await _run(request, task, speech, recogniser)
    # The one speech model, loaded, and a place in its queue first: a full queue is a 503 before any upload
    # is stored.
    async with _placed(request, names[0], drain=True) as recogniser:
        return await _run(request, task, await _read_request(request, task, names), recogniser)


@contextlib.asynccontextmanager
async def _placed(request: Request, model: str, drain: bool) -> AsyncIterator[SpeechRecogniser]:
    """The speech model ``model``, loaded, and a place in its queue; with ``drain``, a refusal reads and drops
    the upload first, so that a client still sending it reads the answer."""
    with contextlib.ExitStack() as place:
        try:
            recogniser = await speech_model(request, model)
            place.enter_context(recogniser.admitted())
        except (ServingError, ApiError):
            if drain:
                async for _ in request.stream():
                    pass
            raise
        yield recogniser


async def _read_request(request: Request, task: str, names: list[str]) -> SpeechRequest:
    form = await _read_form(request)
    try:
        return await _speech_request(form, task, names)
    finally:
        await form.close()


async def _run(request: Request, task: str, speech: SpeechRequest, recogniser: SpeechRecogniser) -> Response:
    settings = serving(request).settings
    # A client that hangs up while its transcription waits for the runtime takes it out of the queue.
    job = asyncio.ensure_future(recogniser.atranscribe(speech.audio, language=speech.language, task=task,
                                                       wait_timeout=settings.wait_timeout))
    async with HangupWatch(request.receive, job.cancel) as watch:
        await asyncio.wait((job,))
    if watch.gone:
        return Response(status_code=499)
    result: Transcription = job.result()
    metrics(request).transcription.observe(result.seconds)
    duration = result.audio_seconds or 0.0
    if speech.stream:
        return StreamingResponse(shapes.stream_events(result.text), media_type="text/event-stream")
    if speech.response_format == "text":
        return PlainTextResponse(result.text)
    if speech.response_format in ("srt", "vtt"):
        return PlainTextResponse(shapes.subtitles(result.text, duration, speech.response_format),
                                 media_type=MEDIA_TYPES[speech.response_format])
    return JSONResponse(shapes.transcription(result.text, result.language, speech.response_format, duration, task))


async def _read_form(request: Request) -> FormData:
    # Parsed as it arrives (the guard bounds its size and time); files over 1 MB spool to disk.
    try:
        return await request.form(max_files=1, max_fields=16)
    except Refusal:
        raise
    except Exception as exc:   # a body that is no multipart form
        raise ApiError(400, f"expected a multipart/form-data upload: {exc}") from None


def _text(form: FormData, name: str, default: str) -> str:
    value = form.get(name)
    if value is None or value == "":
        return default
    if not isinstance(value, str):
        raise ApiError(400, f"{name} must be a string, not a file", param=name)
    return value


async def _speech_request(form: FormData, task: str, names: list[str]) -> SpeechRequest:
    """The request's fields, checked; every field is used or refused."""
    for name in form.keys():
        if name.removesuffix("[]") not in FIELDS[task]:
            raise ApiError(400, f"{name} is not supported by this server", param=name)
    upload = form.get("file")
    if not isinstance(upload, UploadFile):
        raise ApiError(400, "the upload needs a 'file' part", param="file")
    model = _text(form, "model", "")
    if model not in names:
        raise ApiError(404, f"The model '{model}' does not exist; this server has "
                       f"{', '.join(repr(n) for n in names)}", code="model_not_found", param="model")
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
    return SpeechRequest(await upload.read(), response_format, _text(form, "language", "auto"), stream, model)


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
