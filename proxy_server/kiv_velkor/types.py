"""Value types that ``_velkor`` hands to its callers.

Run states (:class:`RunStatus`), reported with every generated piece:

* ``NORMAL`` (0): a piece of a generation that goes on;
* ``WAITING`` (1): the runtime holds output back (for example an incomplete
  multi-byte character or a tool call being parsed);
* ``FINISH`` (2): the generation ended normally or was broken off;
* ``ERROR`` (3): the generation failed; also the status of a run that
  delivered nothing;
* ``CONTEXT_FULL`` (4): the last state of a run that ended because the
  context is full: the reply was cut short, as by a token limit;
* ``CONTEXT_EXCEEDED`` (5): the run failed before it generated anything,
  because the prompt does not fit in the context; its text says why and its
  token id is the prompt's length in tokens.

Run modes (:class:`RunMode`): ``GENERATE`` (0) generates text;
``GET_LAST_HIDDEN_LAYER`` (1) and ``GET_LOGITS`` (2) ask the runtime for model
internals instead.

A newer runtime may report a state or return code that this module does not
know yet: :class:`RunStatus` and :class:`RetStatus` then give a pseudo-member
(``UNKNOWN_<n>``) that compares equal to the number, instead of raising, so no
piece of output is lost for it.
"""

from __future__ import annotations

import enum

__all__ = ["RunStatus", "RetStatus", "Result", "SamplingMode", "RunMode"]


# Unknown values registered per enum; beyond this, pseudo-members are made
# afresh, so a runtime reporting ever new values cannot grow the table forever.
_MAX_REGISTERED_UNKNOWN = 256


class _OpenIntEnum(enum.IntEnum):
    """An IntEnum that accepts every non-negative int."""

    @classmethod
    def _missing_(cls, value: object) -> _OpenIntEnum | None:
        if type(value) is not int or value < 0:
            return None
        pseudo = int.__new__(cls, value)
        pseudo._name_ = f"UNKNOWN_{value}"
        pseudo._value_ = value
        members = cls._value2member_map_
        if len(members) - len(cls.__members__) >= _MAX_REGISTERED_UNKNOWN:
            return pseudo
        # Registered, so the same number gives the same object.
        return members.setdefault(value, pseudo)  # type: ignore[return-value]


class RunStatus(_OpenIntEnum):
    """State of a generation, delivered with every piece."""

    NORMAL = 0
    WAITING = 1
    FINISH = 2
    ERROR = 3
    CONTEXT_FULL = 4
    CONTEXT_EXCEEDED = 5


class RetStatus(_OpenIntEnum):
    """Return code of a runtime call: ``SUCCESS`` 0, ``FAILED`` 1."""

    SUCCESS = 0
    FAILED = 1


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
    split across two pieces; the run's result dict has the joined, decoded
    text); ``token_id`` is the token's id; ``content_type`` is 1 for
    reasoning, 2 for tool-call markup and anything else for answer text.
    """

    __slots__ = ("text", "token_id", "content_type")

    text: bytes
    token_id: int
    content_type: int

    def __init__(self, *, text: bytes = b"", token_id: int = 0, content_type: int = 0) -> None:
        self.text = text
        self.token_id = token_id
        self.content_type = content_type

    @property
    def is_reasoning(self) -> bool:
        return self.content_type == 1

    @property
    def is_tool_call(self) -> bool:
        return self.content_type == 2

    def __repr__(self) -> str:
        return f"Result(text={self.text!r}, token_id={self.token_id!r}, content_type={self.content_type!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Result):
            return NotImplemented
        return (self.text, self.token_id, self.content_type) == (other.text, other.token_id, other.content_type)

    __hash__ = None  # type: ignore[assignment]
