"""How a request samples: its options checked, the pool's defaults filled in
for the ones it does not name, and the result as ``VELKOR.run`` takes it.

The run record carries the sampling mode, ``temperature``, ``top_p``,
``top_k`` and ``repeat_penalty``; ``sampler_params`` carries the rest
(``min_p``, ``repeat_last_n``, ``seed``, ``frequency_penalty``,
``presence_penalty``). A temperature of 0 asks for the most likely token at
each step: the run names the arg-max mode and leaves out the options of the
sampler chain, which a runtime would otherwise take as a request to sample.
Any other temperature names the chain sampler (top-k, top-p, min-p, then the
temperature), so that a runtime whose own default is arg-max samples too.

:class:`SamplingDefaults` is per pool, so that every model can have its own.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, fields
from typing import Any

from ...types import SamplingMode
from ..errors import InvalidRequest

__all__ = ["SamplingDefaults", "sampling_arguments", "token_limit", "number", "integer"]


@dataclass(frozen=True)
class SamplingDefaults:
    """What a request samples with when it does not say (None: the runtime's own setting), and how
    many tokens it may generate: ``max_tokens`` when it names none, never more than ``max_tokens_limit``
    (a larger ``max_tokens`` is lowered to it, and the reply ends with ``finish_reason`` ``length``)."""

    temperature: float | None = None
    top_k: int | None = None
    top_p: float | None = None
    min_p: float | None = None
    repeat_penalty: float | None = None
    repeat_last_n: int | None = None
    max_tokens: int | None = None
    max_tokens_limit: int | None = None

    def __post_init__(self) -> None:
        _checked({f.name: getattr(self, f.name) for f in fields(self)})



# Each option: its bounds (None: no upper bound), and whether it is an integer.
_BOUNDS: dict[str, tuple[float, float | None, bool]] = {
    "temperature": (0, 2, False), "top_p": (0, 1, False), "min_p": (0, 1, False), "top_k": (0, 2**31 - 1, True),
    "repeat_penalty": (0, 10, False), "repeat_last_n": (-1, 2**31 - 1, True),
    "frequency_penalty": (-2, 2, False), "presence_penalty": (-2, 2, False), "seed": (-2**63, None, True),
    "max_tokens": (1, None, True), "max_tokens_limit": (1, None, True),
}
# What a request that samples gets from the defaults, beside the temperature; a greedy one gets none of
# them (it may still name a penalty itself).
_CHAIN = ("top_k", "top_p", "min_p", "repeat_penalty", "repeat_last_n")
_IN_RECORD = ("temperature", "top_k", "top_p", "repeat_penalty")   # the rest go in sampler_params


def number(value: Any, name: str, low: float, high: float | None = None) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise InvalidRequest(f"{name} must be a number", param=name)
    if not low <= value <= (high if high is not None else value):
        raise InvalidRequest(f"{name} must be between {low:g} and {high:g}", param=name)
    return float(value)


def integer(value: Any, name: str, low: int, high: int | None = None) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise InvalidRequest(f"{name} must be an integer", param=name)
    if value < low:
        raise InvalidRequest(f"{name} must be at least {low}", param=name)
    if high is not None and value > high:
        raise InvalidRequest(f"{name} must be at most {high}", param=name)
    return value


def _checked(options: Mapping[str, Any]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for name, value in options.items():
        low, high, whole = _BOUNDS[name]
        out[name] = integer(value, name, int(low), None if high is None else int(high)) if whole \
            else number(value, name, low, high)
    return out


def sampling_arguments(defaults: SamplingDefaults, sampler_params: Mapping[str, Any] | None = None,
                       **given: Any) -> dict[str, Any]:
    """``VELKOR.run``'s sampling arguments for the options a request gives (OpenAI's and the runtime's
    names: ``temperature``, ``top_p``, ``top_k``, ``min_p``, ``repeat_penalty``, ``repeat_last_n``,
    ``seed``, ``frequency_penalty``, ``presence_penalty``; None: not given), with the defaults for the
    rest. ``sampler_params`` (a caller's own) come first; the options named here override them."""
    unknown = sorted(set(given) - set(_BOUNDS) | set(given) & {"max_tokens", "max_tokens_limit"})
    if unknown:
        raise TypeError(f"unexpected sampling option {unknown[0]!r}")
    options = {name: value for name, value in _checked(given).items() if value is not None}
    options.setdefault("temperature", defaults.temperature)
    greedy = options["temperature"] == 0
    if greedy:
        for name in ("top_k", "top_p", "min_p"):   # the chain's filters: nothing to filter for arg-max
            options.pop(name, None)
    else:
        for name in _CHAIN:
            options.setdefault(name, getattr(defaults, name))
    kwargs: dict[str, Any] = {}
    params: dict[str, Any] = dict(sampler_params or {})
    for name, value in options.items():
        if value is not None:
            (kwargs if name in _IN_RECORD else params)[name] = value
    if greedy:
        del kwargs["temperature"]
        kwargs["sampling_mode"] = SamplingMode.ARG_MAX
    elif "temperature" in kwargs:
        kwargs["sampling_mode"] = SamplingMode.CHAIN_SAMPLER
    if params:
        kwargs["sampler_params"] = params
    return kwargs


def token_limit(max_tokens: Any, defaults: SamplingDefaults, name: str = "max_tokens") -> int | None:
    """The most tokens a request generates: its own ``max_tokens`` (checked), else the default; never
    over the limit."""
    limit = integer(max_tokens, name, 1)
    if limit is None:
        limit = defaults.max_tokens
    if defaults.max_tokens_limit is not None:
        limit = defaults.max_tokens_limit if limit is None else min(limit, defaults.max_tokens_limit)
    return limit
