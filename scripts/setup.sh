#!/usr/bin/env bash
# Sets everything up on a fresh machine: a Python 3.13 virtual environment in
# .venv, the PyPI packages, and the package itself built and installed.
# Python is taken from $PYTHON, else python3.13 on PATH, else pyenv's 3.13.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    # A candidate counts only when it runs as 3.13: a pyenv shim on PATH answers
    # to python3.13 even when no 3.13 is selected, and then fails.
    local candidate root
    local -a candidates=()
    [ -n "${PYTHON:-}" ] && candidates+=("$PYTHON")
    command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/3.13*/bin/python3.13; do
        [ -x "$candidate" ] && candidates+=("$candidate")
    done
    for candidate in "${candidates[@]}"; do
        if "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
            echo "$candidate"
            return
        fi
    done
    echo "Python 3.13 not found: set PYTHON=/path/to/python3.13" >&2
    exit 1
}

PY=$(find_python)
if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    rm -rf .venv
    "$PY" -m venv .venv
fi

# System packages for the optional reference runtimes (JSON and audio libraries).
need_apt=()
[ -f /usr/include/nlohmann/json.hpp ] || need_apt+=(nlohmann-json3-dev)
[ -f /usr/include/sndfile.h ] || need_apt+=(libsndfile1-dev)
if [ ${#need_apt[@]} -gt 0 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

.venv/bin/python -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" numpy pytest hypothesis mypy
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    ${KIV_CMAKE_ARGS:+--config-settings=cmake.args="$KIV_CMAKE_ARGS"} .
