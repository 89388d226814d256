"""Value types that ``_velkor`` hands to its callers.

RunStatus and RetStatus accept every non-negative int: a number the module
does not know yet gives a pseudo-member named ``UNKNOWN_<n>``.
"""

import enum
from typing import ClassVar

__all__ = ["RunStatus", "RetStatus", "Result", "SamplingMode", "RunMode"]

# RunStatus and RetStatus derive from a private IntEnum without members whose
# _missing_ makes the pseudo-members; a stub cannot declare an enum without
# members, so each declares _missing_ itself.

class RunStatus(enum.IntEnum):
    """State of a generation, delivered with every piece."""

    NORMAL = 0
    WAITING = 1
    FINISH = 2
    ERROR = 3
    CONTEXT_FULL = 4
    CONTEXT_EXCEEDED = 5
    @classmethod
    def _missing_(cls, value: object) -> RunStatus | None: ...

class RetStatus(enum.IntEnum):
    """Return code of a runtime call: ``SUCCESS`` 0, ``FAILED`` 1."""

    SUCCESS = 0
    FAILED = 1
    @classmethod
    def _missing_(cls, value: object) -> RetStatus | None: ...

class SamplingMode(enum.IntEnum):
    """Token sampling strategy."""

    ARG_MAX = 0
    TOP_P = 1
    TOP_K = 2
    CHAIN_SAMPLER = 3

class RunMode(enum.IntEnum):
    """What a run asks of the model."""

    GENERATE = 0
    GET_LAST_HIDDEN_LAYER = 1
    GET_LOGITS = 2

class Result:
    """One generated piece, as ``on_token`` receives it.

    ``text`` is the raw UTF-8 piece as bytes (a multi-byte character may be
    split across two pieces); ``content_type`` is 1 for reasoning, 2 for
    tool-call markup and anything else for answer text.
    """

    __slots__ = ("text", "token_id", "content_type")
    text: bytes
    token_id: int
    content_type: int
    def __init__(self, *, text: bytes = b"", token_id: int = 0, content_type: int = 0) -> None: ...
    @property
    def is_reasoning(self) -> bool: ...
    @property
    def is_tool_call(self) -> bool: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
