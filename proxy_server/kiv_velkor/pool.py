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

from typing import Any

from .chat_input import prepare_chat, prepare_completion
from .conversations import Conversation
from .generation import Generation
from .lending import DEFAULT_ACQUIRE_TIMEOUT, ContextLender, Lease, WaitCancelled

__all__ = ["ModelPool", "Lease", "WaitCancelled", "DEFAULT_ACQUIRE_TIMEOUT", "DEFAULT_CONVERSATION_WAIT"]

# How long a request waits for a busy context that holds its conversation
# before it runs afresh on another: far less than recomputing a long prompt.
DEFAULT_CONVERSATION_WAIT = 0.25


class ModelPool(ContextLender):
    """``contexts`` contexts of one model; the keyword options go to every ``VELKOR.init``.

    Raises :class:`ModelLoadError` when the runtime refuses the model (the
    contexts made so far are released). Close it with :meth:`close` (or use it
    as a context manager): running generations are cancelled (or, with
    ``cancel=False``, finished), waiting callers get :class:`PoolClosed`, and
    every context is released once its run has returned.
    """

    def __init__(self, model_path: str, contexts: int = 1, *, conversation_cache: bool = True,
                 conversation_wait: float = DEFAULT_CONVERSATION_WAIT, **options: Any) -> None:
        super().__init__(model_path, contexts, **options)
        self.conversation_cache = conversation_cache
        self.conversation_wait = conversation_wait

    def chat(self, messages: Any, *, acquire_timeout: float | None = None, cache_scope: str | None = None,
             **options: Any) -> Generation:
        """A new generation for OpenAI-format ``messages``.

        Options (OpenAI's names): ``tools``, ``tool_choice``, ``parallel_tool_calls``,
        ``response_format`` (the last three reach the runtime in
        ``extra_template_params``; the answer is checked against them), ``max_tokens`` and
        ``stop`` (enforced by the layer: the run is interrupted and the text
        ends before the stop sequence), ``temperature``, ``top_p``, ``top_k``,
        ``repeat_penalty``, ``seed``, ``frequency_penalty``,
        ``presence_penalty``, ``enable_think``, ``images`` (arrays that stand at
        the end of the last user message), ``sampler_params``, ``limits`` (a
        :class:`RequestLimits`: the bounds of the request); and
        ``acquire_timeout`` for the wait for a context; ``cache_scope``: a
        conversation a context holds is reused only for requests of the same
        scope (a server passes who is asking). Without a vision projector an
        image is refused before it is decoded.

        Nothing runs until it is iterated or started; it can be cancelled at once.
        Raises :class:`InvalidRequest` for a malformed request.
        """
        prepared = prepare_chat(messages, vision=self.vision, **options)
        conversation = None
        if self.conversation_cache and not prepared.images:
            conversation = Conversation(prepared.run_kwargs, prepared.messages, cache_scope)
        return Generation(self, prepared, acquire_timeout=acquire_timeout, conversation=conversation,
                          conversation_wait=self.conversation_wait)

    def complete(self, prompt: str, *, acquire_timeout: float | None = None, **options: Any) -> Generation:
        """A new generation completing a plain ``prompt`` as given (the runtime's plain-prompt mode).

        Options: ``max_tokens``, ``stop``, and the sampling options of :meth:`chat`.
        """
        return Generation(self, prepare_completion(prompt, **options), acquire_timeout=acquire_timeout)
