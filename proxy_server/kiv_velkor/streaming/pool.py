"""A pool of model contexts serving chat requests: the layer's public face.

    pool = ModelPool("/models/model.gguf", contexts=4, mmproj_path="/models/mmproj.gguf")
    for event in pool.chat([{"role": "user", "content": "Hello"}]):
        ...
    pool.close()

:class:`ModelPool` is a :class:`ContextLender` (N contexts initialised once,
each lent to one request at a time; bounded waits from threads and from
asyncio; closing) that makes :class:`Generation` requests with :meth:`chat`.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from .request.chat_input import prepare_chat, prepare_completion
from .conversations import Conversation
from .generation import Generation
from .lending import DEFAULT_ACQUIRE_TIMEOUT, ContextLender, Lease, WaitCancelled
from .request.sampling import SamplingDefaults

__all__ = ["ModelPool", "Lease", "WaitCancelled", "DEFAULT_ACQUIRE_TIMEOUT", "DEFAULT_CONVERSATION_WAIT",
           "DEFAULT_CONVERSATION_HOLD", "SAMPLING_DEFAULTS"]

# How long a request waits for a busy context that holds its conversation
# before it runs afresh on another: far less than recomputing a long prompt.
DEFAULT_CONVERSATION_WAIT = 0.25
# How long a request that goes on from no conversation waits for another
# context before it takes the one kept for a person's next turn: about as long
# as a chat front-end's tasks after a reply take on a small device.
DEFAULT_CONVERSATION_HOLD = 30.0
# The request options a pool can have defaults for (a request's own value wins).
SAMPLING_DEFAULTS = ("max_tokens", "temperature", "top_p", "top_k", "min_p", "repeat_penalty", "repeat_last_n",
                     "seed", "frequency_penalty", "presence_penalty")


class ModelPool(ContextLender):
    """``contexts`` contexts of one model; the keyword options go to every ``VELKOR.init``.

    ``defaults`` are request options (:data:`SAMPLING_DEFAULTS`) that every
    request which leaves them out gets: a model's own sampling settings, as if
    the request named them. ``sampling`` (:class:`SamplingDefaults`) fills in
    what neither names (a temperature of 0 is greedy, and then no other
    default of it applies) and bounds the tokens a request generates.
    Raises :class:`ModelLoadError` when the runtime refuses the model (the
    contexts made so far are released). Close it with :meth:`close` (or use it
    as a context manager): running generations are cancelled (or, with
    ``cancel=False``, finished), waiting callers get :class:`PoolClosed`, and
    every context is released once its run has returned.
    """

    def __init__(self, model_path: str, contexts: int = 1, *, conversation_cache: bool = True,
                 conversation_wait: float = DEFAULT_CONVERSATION_WAIT,
                 conversation_hold: float = DEFAULT_CONVERSATION_HOLD, defaults: Mapping[str, Any] | None = None,
                 sampling: SamplingDefaults | None = None, **options: Any) -> None:
        if conversation_wait < 0 or conversation_hold < 0:
            raise ValueError("conversation_wait and conversation_hold must not be negative")
        self.defaults = self.check_defaults(defaults)
        super().__init__(model_path, contexts, **options)
        self.conversation_cache = conversation_cache
        self.conversation_wait = conversation_wait
        self.conversation_hold = conversation_hold
        self.sampling = sampling or SamplingDefaults()   # for what neither a request nor ``defaults`` names

    def chat(self, messages: Any, *, acquire_timeout: float | None = None, cache_scope: str | None = None,
             interactive: bool = False, **options: Any) -> Generation:
        """A new generation for OpenAI-format ``messages``.

        Options (OpenAI's names): ``tools``, ``tool_choice``, ``parallel_tool_calls``,
        ``response_format`` (the last three reach the runtime in
        ``extra_template_params``; the answer is checked against them), ``max_tokens`` and
        ``stop`` (enforced by the layer: the run is interrupted and the text
        ends before the stop sequence), ``temperature``, ``top_p``, ``top_k``,
        ``min_p``, ``repeat_penalty``, ``repeat_last_n``, ``seed``, ``frequency_penalty``,
        ``presence_penalty`` (the pool's ``defaults``, then its ``sampling``,
        fill in the ones not given, and ``sampling`` bounds ``max_tokens``),
        ``enable_think`` or ``reasoning_effort`` (``none`` or ``medium``),
        ``chat_template_kwargs`` (to the chat template as they are), ``images`` (arrays that stand at
        the end of the last user message), ``sampler_params``, ``limits`` (a
        :class:`RequestLimits`: the bounds of the request), ``allow_empty`` (an
        empty conversation is taken, not refused); and
        ``acquire_timeout`` for the wait for a context; ``cache_scope``: a
        conversation a context holds is reused only for requests of the same
        scope (a server passes who is asking); ``interactive``: a person follows
        the reply as it comes (a server passes a streamed request), so the
        conversation it leaves is kept for its next turn: requests that go on
        from no conversation leave that context alone while another can come
        within ``conversation_hold`` seconds. Without a vision projector an
        image is refused before it is decoded.

        Nothing runs until it is iterated or started; it can be cancelled at once.
        Raises :class:`InvalidRequest` for a malformed request.
        """
        prepared = prepare_chat(messages, vision=self.vision, defaults=self.sampling, **self._with_defaults(options))
        conversation = None
        if self.conversation_cache and not prepared.images:
            conversation = Conversation(prepared.run_kwargs, prepared.messages, cache_scope)
        return Generation(self, prepared, acquire_timeout=acquire_timeout, conversation=conversation,
                          conversation_wait=self.conversation_wait, interactive=interactive,
                          hold=self.conversation_hold)

    def complete(self, prompt: str, *, acquire_timeout: float | None = None, **options: Any) -> Generation:
        """A new generation completing a plain ``prompt`` as given (the runtime's plain-prompt mode).

        Options: ``max_tokens``, ``stop``, and the sampling options of :meth:`chat`.
        """
        return Generation(self, prepare_completion(prompt, defaults=self.sampling, **self._with_defaults(options)),
                          acquire_timeout=acquire_timeout, hold=self.conversation_hold)

    @staticmethod
    def check_defaults(defaults: Mapping[str, Any] | None) -> dict[str, Any]:
        """The sampling defaults, checked as a request's options are (ValueError names a wrong one)."""
        given = dict(defaults or {})
        unknown = sorted(set(given) - set(SAMPLING_DEFAULTS))
        if unknown:
            raise ValueError(f"no default can be set for {', '.join(unknown)} "
                             f"(these can: {', '.join(SAMPLING_DEFAULTS)})")
        prepare_completion("", **given)   # InvalidRequest (a ValueError) for a value out of range
        return given

    def _with_defaults(self, options: dict[str, Any]) -> dict[str, Any]:
        """The request's options, with the pool's defaults for those it leaves out (or gives as None)."""
        if not self.defaults:
            return options
        return {**self.defaults, **{name: value for name, value in options.items() if value is not None}}

