"""Writes a Hugging Face tokenizer (tokenizer.json and tokenizer_config.json)
for a GGUF model, derived from the vocabulary, merges and chat template the
GGUF file itself carries, so that ``serve --tokenizer`` counts prompt tokens
as the engine does.

    python3 scripts/gguf_tokenizer.py MODEL.gguf OUT_DIR [--tool-template FILE]

``--tool-template`` adds a second, named chat template (``tool_use``): the
one the runtime renders requests with tools through when the model's own
template has no tool support. Reads the GGUF metadata with the standard
library alone; handles byte-level BPE vocabularies (``tokenizer.ggml.model``
``gpt2``) with the pre-tokenisers of the GPT-2 and SmolLM families.
"""

from __future__ import annotations

import argparse
import json
import struct
import sys
from pathlib import Path
from typing import Any, BinaryIO

# GGUF metadata value types.
_SCALARS = {0: "<B", 1: "<b", 2: "<H", 3: "<h", 4: "<I", 5: "<i", 6: "<f", 7: "<?", 10: "<Q", 11: "<q", 12: "<d"}
_STRING, _ARRAY = 8, 9
_CONTROL, _USER_DEFINED = 3, 4   # token types that are added tokens
_BYTE_LEVEL = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": True}
# The pre-tokenisers that match llama.cpp's splitting for each pre-tokeniser name.
_PRE_TOKENIZERS: dict[str, list[dict[str, Any]]] = {
    "gpt2": [_BYTE_LEVEL],
    "default": [_BYTE_LEVEL],
    "smollm": [{"type": "Digits", "individual_digits": True}, _BYTE_LEVEL],
}


def _read(f: BinaryIO, fmt: str) -> Any:
    size = struct.calcsize(fmt)
    return struct.unpack(fmt, f.read(size))[0]


def _string(f: BinaryIO) -> str:
    return f.read(_read(f, "<Q")).decode("utf-8")


def _value(f: BinaryIO, kind: int) -> Any:
    if kind == _STRING:
        return _string(f)
    if kind == _ARRAY:
        item_kind, count = _read(f, "<I"), _read(f, "<Q")
        return [_value(f, item_kind) for _ in range(count)]
    return _read(f, _SCALARS[kind])


def read_metadata(path: Path) -> dict[str, Any]:
    """The key-value metadata of a GGUF file (version 2 or 3)."""
    with path.open("rb") as f:
        if f.read(4) != b"GGUF" or _read(f, "<I") not in (2, 3):
            raise SystemExit(f"{path}: not a GGUF file of version 2 or 3")
        _read(f, "<Q")   # tensor count
        count = _read(f, "<Q")
        metadata = {}
        for _ in range(count):
            key = _string(f)
            metadata[key] = _value(f, _read(f, "<I"))
    return metadata


def tokenizer_json(meta: dict[str, Any]) -> dict[str, Any]:
    if meta.get("tokenizer.ggml.model") != "gpt2":
        raise SystemExit(f"only byte-level BPE vocabularies are handled, not {meta.get('tokenizer.ggml.model')!r}")
    pre = meta.get("tokenizer.ggml.pre", "default")
    if pre not in _PRE_TOKENIZERS:
        raise SystemExit(f"the pre-tokeniser {pre!r} is not handled")
    tokens: list[str] = meta["tokenizer.ggml.tokens"]
    types: list[int] = meta.get("tokenizer.ggml.token_type", [1] * len(tokens))
    added = [{"id": i, "content": t, "single_word": False, "lstrip": False, "rstrip": False, "normalized": False,
              "special": types[i] == _CONTROL} for i, t in enumerate(tokens) if types[i] in (_CONTROL, _USER_DEFINED)]
    bos = meta.get("tokenizer.ggml.bos_token_id")
    post: dict[str, Any] = {**_BYTE_LEVEL, "trim_offsets": False}
    if meta.get("tokenizer.ggml.add_bos_token") and bos is not None:
        post = {"type": "TemplateProcessing", "single": [{"SpecialToken": {"id": tokens[bos], "type_id": 0}},
                                                          {"Sequence": {"id": "A", "type_id": 0}}],
                "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}],
                "special_tokens": {tokens[bos]: {"id": tokens[bos], "ids": [bos], "tokens": [tokens[bos]]}}}
    return {"version": "1.0", "truncation": None, "padding": None, "added_tokens": added, "normalizer": None,
            "pre_tokenizer": {"type": "Sequence", "pretokenizers": _PRE_TOKENIZERS[pre]},
            "post_processor": post, "decoder": _BYTE_LEVEL,
            "model": {"type": "BPE", "dropout": None, "unk_token": None, "continuing_subword_prefix": None,
                      "end_of_word_suffix": None, "fuse_unk": False, "byte_fallback": False, "ignore_merges": False,
                      "vocab": {t: i for i, t in enumerate(tokens)},
                      "merges": [m.split(" ", 1) for m in meta["tokenizer.ggml.merges"]]}}


def tokenizer_config(meta: dict[str, Any], tool_template: str | None) -> dict[str, Any]:
    tokens: list[str] = meta["tokenizer.ggml.tokens"]

    def token(key: str) -> str | None:
        index = meta.get(f"tokenizer.ggml.{key}_token_id")
        return tokens[index] if index is not None else None

    template: Any = meta.get("tokenizer.chat_template")
    if tool_template is not None and template is not None:
        template = [{"name": "default", "template": template}, {"name": "tool_use", "template": tool_template}]
    return {"chat_template": template, "bos_token": token("bos"), "eos_token": token("eos"),
            "add_bos_token": bool(meta.get("tokenizer.ggml.add_bos_token")), "model_max_length": None}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("gguf", type=Path)
    parser.add_argument("out", type=Path)
    parser.add_argument("--tool-template", type=Path, help="the chat template for requests with tools")
    args = parser.parse_args()
    meta = read_metadata(args.gguf)
    tool = args.tool_template.read_text("utf-8") if args.tool_template else None
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "tokenizer.json").write_text(json.dumps(tokenizer_json(meta), ensure_ascii=False), "utf-8")
    (args.out / "tokenizer_config.json").write_text(
        json.dumps(tokenizer_config(meta, tool), ensure_ascii=False, indent=1), "utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
