"""Binding of the on-device LLM runtime.

Provides the class VELKOR, which wraps the native interface of the runtime
library (velkor_ext.h) opened with dlopen from this module's directory, and
exposes the runtime's entry points as Python methods with the kiv_llm_ prefix
removed (kiv_llm_run becomes run); the method for kiv_llm_break is named
interrupt. as_rgb888 brings an image array into the packed RGB888 layout the
runtime reads.
"""

from collections.abc import Callable, Mapping, Sequence
from types import FrameType
from typing import Any, Self, TypedDict, final, type_check_only

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

from .types import Result, RetStatus, RunMode, RunStatus, SamplingMode

# on_token(result, userdata, status): called for every generated piece.
_TokenCallback = Callable[[Result, Any, RunStatus], object]
# on_tool_call(name, arguments_json, userdata): called for every parsed tool call.
_ToolCallCallback = Callable[[str, str, Any], object]
# A sampling mode: a SamplingMode, an int 0-3 or a name such as "top_p".
_SamplingModeLike = SamplingMode | int | str

@type_check_only
@final
class ToolCall(TypedDict):
    """One tool call of a run: the tool's name and its arguments as JSON text."""

    name: str
    arguments: str

@type_check_only
@final
class RunResult(TypedDict):
    """What run() returns: the whole result of one generation."""

    text: str
    reasoning: str
    tool_text: str
    token_ids: list[int]
    status: RunStatus
    token_count: int
    tool_calls: list[ToolCall]

def as_rgb888(image: npt.ArrayLike) -> npt.NDArray[np.uint8]:
    """Return image as a C-contiguous uint8 array of shape (H, W, 3): packed RGB888.

    Accepts anything numpy.asarray accepts, in HWC or CHW layout, RGB or RGBA
    (HWC only). Floats with a maximum of at most 1.000001 are taken as 0..1 and
    scaled by 255; other dtypes are clipped to 0..255 and truncated. A
    row-major uint8 HWC array is returned as it is, without a copy. Raises
    ValueError for other shapes.
    """

@disjoint_base
class VELKOR:
    """One context of the on-device LLM runtime.

    Create it (this opens libvelkor.so from the module's directory), call
    init() with a model, then run() once per request. run() streams every
    generated piece to the on_token callable given to init() and returns the
    whole result as a dict. interrupt() stops a run from another thread;
    Ctrl+C on the main thread makes run() raise KeyboardInterrupt.
    """

    def __new__(cls) -> Self: ...
    def _install_sigint_handler(self) -> None:
        """Install signal_handler for SIGINT when called on the main thread, keeping the previous handler."""

    def _restore_sigint_handler(self) -> None:
        """Put back the SIGINT handler that was in force before this object installed its own."""

    def signal_handler(self, sig: int, frame: FrameType | None) -> None:
        """SIGINT handler: flag the object as interrupted, break its run, then chain to the previous handler."""

    def init(
        self,
        model_path: str | None,
        on_token: _TokenCallback | None = None,
        on_tool_call: _ToolCallCallback | None = None,
        sampling_mode: _SamplingModeLike = SamplingMode.ARG_MAX,
        sampler_params: Mapping[str, Any] | None = None,
        mmproj_path: str | None = "",
        model_type_override: str | None = "",
        custom_jinja_template: str | None = "",
        mmproj_config: str | None = "",
    ) -> RetStatus:
        """Create the runtime context (kiv_llm_init) for the model file at model_path.

        on_token(result, userdata, status) is called for every generated piece,
        on_tool_call(name, arguments_json, userdata) for every tool call the
        runtime parses; either may be None, the output is collected into run()'s
        result all the same. mmproj_path enables image input. Returns the
        runtime's RetStatus; the text arguments must be exactly str or None.
        """

    def uninit(self) -> RetStatus:
        """Release the runtime context (kiv_llm_uninit). SUCCESS when there is none."""

    def run(
        self,
        prompt_input: str | None = "",
        run_mode: RunMode = RunMode.GENERATE,
        retain_history: int = 0,
        userdata: Any = None,
        images: list[Any] | None = None,  # elements: anything as_rgb888() accepts
        img_start: str | None = "<|vision_start|>",
        img_end: str | None = "<|vision_end|>",
        img_content: str | None = "<|image_pad|>",
        tool_schemas: Sequence[Mapping[str, Any]] | None = None,
        sampler_params: Mapping[str, Any] | None = None,
        disable_chat_template: int = 1,
        extra_template_params: Mapping[str, Any] | None = None,
        enable_think: int = 0,
        sampling_mode: _SamplingModeLike | None = None,
        top_k: int | None = None,
        top_p: float | None = None,
        temperature: float | None = None,
        repeat_penalty: float | None = None,
        messages_mode: bool = False,
    ) -> RunResult:
        """Run one generation (kiv_llm_run) with the interpreter lock released.

        prompt_input is a prompt, or with messages_mode=True an OpenAI-format
        messages JSON string. images (needs init(mmproj_path=...)) is a list of
        arrays that as_rgb888() accepts. tool_schemas is a list of OpenAI tool
        definitions. Every piece is streamed to on_token while the run goes on;
        the result dict holds the joined text, reasoning and tool-call markup,
        the token ids, the last RunStatus and the parsed tool calls. Raises
        KeyboardInterrupt after Ctrl+C; interrupt() from another thread ends
        the run normally.
        """

    def reset(self) -> RetStatus:
        """Clear the context's conversation history and state (kiv_llm_reset)."""

    def interrupt(self) -> RetStatus:
        """Ask the runtime to stop the generation in progress (kiv_llm_break); safe from any thread.

        A break asked for while run() prepares its request or runs is repeated at the run's next
        callback, so it is never lost; with no run, it is passed on once and does not affect a
        later run.
        """

    def set_chat_template(
        self, system_prompt: str | None, prompt_prefix: str | None, prompt_postfix: str | None
    ) -> RetStatus:
        """Set the simple chat template: a system prompt and texts placed before and after each user input."""

    def set_chat_template_jinja(self, jinja_template: str | None) -> RetStatus:
        """Register a Jinja2 chat template on the context (kiv_llm_set_chat_template_jinja)."""

    def set_toolcall_callback(self, enabled: object = True, stop_output: int = 0) -> RetStatus:
        """Switch the tool-call callback on or off; stop_output 1 removes tool-call markup from the stream."""

    @property
    def vision_metadata(self) -> dict[str, Any]:
        """Return vision metadata dict if image encoder was initialized, else empty dict."""

    @property
    def mmproj_model(self) -> bool:
        """True if an mmproj (vision) model was loaded during init()."""

    @property
    def context(self) -> int | None:
        """The underlying ``LLMContext`` handle (``int`` address, or ``None``)."""
