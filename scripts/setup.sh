#!/usr/bin/env bash
# Sets everything up on a fresh machine: a Python 3.13 virtual environment in
# .venv, the PyPI packages, and the package itself built and installed.
# Python is taken from $PYTHON, else python3.13 on PATH, else pyenv's 3.13.
#
# The package is built as the CMake preset $KIV_PRESET (CMakePresets.json;
# default release, in build/<preset>): KIV_PRESET=release-reference adds the
# reference runtimes to the package. KIV_CMAKE_ARGS (';'-separated) adds
# CMake arguments, for example -DKIV_BUILD_REFERENCE_RUNTIMES=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# System packages for the optional reference runtimes (JSON and audio libraries).
need_apt=()
[ -f /usr/include/nlohmann/json.hpp ] || need_apt+=(nlohmann-json3-dev)
[ -f /usr/include/sndfile.h ] || need_apt+=(libsndfile1-dev)
if [ ${#need_apt[@]} -gt 0 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "setup: installing ${need_apt[*]} (Debian packages for the reference runtimes)" >&2
    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

[ -x .venv/bin/python ] || echo "setup: creating .venv and installing the Python packages (a minute the first time)" >&2
kiv_make_venv .venv
preset=${KIV_PRESET:-release}
echo "setup: building the modules into .venv (preset $preset; C++, about a minute the first time, seconds after)" >&2
kiv_build_package .venv "$preset" "" "${KIV_CMAKE_ARGS:-}"
