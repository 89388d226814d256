"""The built module's dynamic interface: what it needs and what it exports."""

from __future__ import annotations

import os
import re
import subprocess

import pytest

# Sanitizer builds link their runtimes and export what they need.
pytestmark = pytest.mark.skipif("sanitize" in os.environ.get("KIV_TEST_CXXFLAGS", ""),
                                reason="the release build's interface only")

EXPORTS = {"PyInit__quellan", "load_quellan_func", "unload_quellan_func", "quellan_init",
           "quellan_transcribe_file", "quellan_uninit", "quellan_free_cstr"}


def test_needs_only_the_system_library(quellan):
    dynamic = subprocess.run(["readelf", "-d", quellan.__file__], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic)
    allowed = re.compile(r"(libc|libm|libdl|libpthread)\.so\.\d+|ld-linux[-\w.]*\.so\.\d+")
    assert needed and all(allowed.fullmatch(n) for n in needed), needed


def test_exports_the_entry_the_loader_and_the_shims_only(quellan):
    symbols = subprocess.run(["nm", "-D", "--defined-only", quellan.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = {line.split()[-1] for line in symbols.splitlines() if line.split()[-2] in "TtWw"}
    assert exported == EXPORTS
    assert not any(s.startswith("kiv_asr_") for s in exported)
