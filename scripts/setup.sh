#!/usr/bin/env bash
# Sets everything up on a fresh machine: a Python 3.13 virtual environment in
# .venv, the PyPI packages, and the package itself built and installed.
# Python is taken from $PYTHON, else python3.13 on PATH, else pyenv's 3.13.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# System packages for the optional reference runtimes (JSON and audio libraries).
need_apt=()
[ -f /usr/include/nlohmann/json.hpp ] || need_apt+=(nlohmann-json3-dev)
[ -f /usr/include/sndfile.h ] || need_apt+=(libsndfile1-dev)
if [ ${#need_apt[@]} -gt 0 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

kiv_make_venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    ${KIV_CMAKE_ARGS:+--config-settings=cmake.args="$KIV_CMAKE_ARGS"} .
