"""Native bindings of the on-device inference runtimes, the streaming layer
over them and an OpenAI-compatible server.

``_velkor`` binds the LLM runtime ``libvelkor.so`` and ``_quellan`` the speech
runtime ``libquellan.so``; both open their runtime with ``dlopen`` from this
directory when the first object is created, never at import.

The public names of the streaming layer (:mod:`.streaming`) and of the server
(:mod:`.server`) are imported from here::

    from tessel_openai_server.kiv_velkor import ModelPool, TextPiece, create_app

Each is imported on first use, so importing the native modules alone loads
neither the layer nor the server's dependencies.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .server.app import ROUTES as ROUTES
    from .server.app import attach as attach
    from .server.app import create_app as create_app
    from .server.config import ServeConfig as ServeConfig
    from .server.state import ServerSettings as ServerSettings
    from .streaming.errors import InvalidRequest as InvalidRequest
    from .streaming.errors import LimitExceeded as LimitExceeded
    from .streaming.errors import ModelLoadError as ModelLoadError
    from .streaming.errors import ModelNotFound as ModelNotFound
    from .streaming.errors import ModelUnavailable as ModelUnavailable
    from .streaming.errors import NoRunThread as NoRunThread
    from .streaming.errors import PoolClosed as PoolClosed
    from .streaming.errors import PoolError as PoolError
    from .streaming.errors import PoolExhausted as PoolExhausted
    from .streaming.errors import QueueFull as QueueFull
    from .streaming.errors import PoolForked as PoolForked
    from .streaming.errors import RecogniserBusy as RecogniserBusy
    from .streaming.errors import RequestRejected as RequestRejected
    from .streaming.errors import ServingError as ServingError
    from .streaming.errors import TranscriptionError as TranscriptionError
    from .streaming.events import Event as Event
    from .streaming.events import Finished as Finished
    from .streaming.events import FinishReason as FinishReason
    from .streaming.events import PieceKind as PieceKind
    from .streaming.events import TextPiece as TextPiece
    from .streaming.events import Timings as Timings
    from .streaming.events import ToolCall as ToolCall
    from .streaming.events import Usage as Usage
    from .streaming.generation import Generation as Generation
    from .streaming.generation import Stage as Stage
    from .streaming.lending import Lease as Lease
    from .streaming.lending import WaitCancelled as WaitCancelled
    from .streaming.request.limits import RequestLimits as RequestLimits
    from .streaming.request.sampling import SamplingDefaults as SamplingDefaults
    from .streaming.models import ModelHold as ModelHold
    from .streaming.models import ModelRegistry as ModelRegistry
    from .streaming.models import ModelSource as ModelSource
    from .streaming.models import ModelState as ModelState
    from .streaming.models import ModelStatus as ModelStatus
    from .streaming.pool import ModelPool as ModelPool
    from .streaming.request.prompt_tokens import PromptCounter as PromptCounter
    from .streaming.speech.audio_input import AudioSettings as AudioSettings
    from .streaming.speech.recogniser import SpeechRecogniser as SpeechRecogniser
    from .streaming.speech.recogniser import Transcription as Transcription

# Where each public name lives.
_HOMES = {
    "ModelPool": "streaming.pool", "Generation": "streaming.generation", "Stage": "streaming.generation",
    "Lease": "streaming.lending", "WaitCancelled": "streaming.lending", "RequestLimits": "streaming.request.limits",
    "SamplingDefaults": "streaming.request.sampling",
    "PromptCounter": "streaming.request.prompt_tokens",
    **dict.fromkeys(("ModelRegistry", "ModelSource", "ModelState", "ModelStatus", "ModelHold"), "streaming.models"),
    **dict.fromkeys(("Event", "TextPiece", "ToolCall", "Finished", "FinishReason", "PieceKind", "Usage", "Timings"),
                    "streaming.events"),
    **dict.fromkeys(("ServingError", "ModelLoadError", "ModelNotFound", "InvalidRequest", "LimitExceeded",
                     "RequestRejected", "PoolError", "PoolClosed", "PoolExhausted", "QueueFull", "PoolForked",
                     "NoRunThread", "ModelUnavailable", "RecogniserBusy", "TranscriptionError"), "streaming.errors"),
    "SpeechRecogniser": "streaming.speech.recogniser", "Transcription": "streaming.speech.recogniser",
    "AudioSettings": "streaming.speech.audio_input",
    "create_app": "server.app", "attach": "server.app", "ROUTES": "server.app", "ServerSettings": "server.state",
    "ServeConfig": "server.config",
}
__all__ = sorted(_HOMES)


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
