"""inspect.signature() answers with the real parameters and defaults."""

from __future__ import annotations

import inspect

import pytest

from tessel_openai_server.kiv_velkor import _quellan


@pytest.mark.parametrize("target, text", [
    (_quellan.Quellan, "(lib_path=None)"),
    (_quellan.Quellan.init, "(self, backend, model_path, tokenizer_path, decoder_path=None, extra_json=None)"),
    (_quellan.Quellan.transcribe, "(self, wav_path, language='auto', task='transcribe')"),
    (_quellan.Quellan.close, "(self)"),
    (_quellan.find_quellan_path, "() -> 'str'"),
])
def test_signature(target, text):
    assert str(inspect.signature(target)) == text
