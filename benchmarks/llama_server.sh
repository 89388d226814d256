#!/usr/bin/env bash
# Builds llama.cpp's own HTTP server, llama-server, from the llama.cpp the
# engine runtime is built from (vendor/llama.cpp of the pinned llama-cpp-python
# source distribution that scripts/engines.sh --sdist names), with the engine's
# build flags and the server tool on, and prints the binary's path.
#
# Cached under ${XDG_CACHE_HOME:-~/.cache}/kiv/llama-server-<key>, the key
# covering the source distribution's sha256, the flags, the compilers, CMake
# and the CPU architecture: the first run shows CMake's progress on standard
# error and takes minutes on two cores; later runs take a second or two.
# Delete the directory to build afresh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# The engine's flags (portable code, no OpenMP, no llamafile kernels, static,
# no OpenSSL, no subprocess code), with the tools and the server on. The web
# UI is neither built (npm) nor downloaded: the server runs without one.
FLAGS=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    -DGGML_NATIVE=OFF -DGGML_OPENMP=OFF -DGGML_BACKEND_DL=OFF -DGGML_CCACHE=OFF -DGGML_LLAMAFILE=OFF
    -DLLAMA_BUILD_COMMON=ON -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_APP=OFF
    -DLLAMA_BUILD_TOOLS=ON -DLLAMA_BUILD_SERVER=ON -DLLAMA_BUILD_UI=OFF -DLLAMA_USE_PREBUILT_UI=OFF
    -DLLAMA_OPENSSL=OFF -DLLAMA_SUBPROCESS=OFF -DLLAMA_LLGUIDANCE=OFF
)
started=$SECONDS
say() { printf '[llama-server] %s\n' "$*" >&2; }

sdist=$(scripts/engines.sh --sdist)
key=$( { sha256sum "$sdist" | cut -d' ' -f1
         printf '%s\n' "${FLAGS[@]}" "$(uname -m)" "$(${CC:-cc} --version | head -n1)" \
             "$(${CXX:-c++} --version | head -n1)" "$(cmake --version | head -n1)"; } | sha256sum | cut -c1-16)
dir=${XDG_CACHE_HOME:-$HOME/.cache}/kiv/llama-server-$key
binary=$dir/build/bin/llama-server

mkdir -p "$dir"
# One builder at a time; a second caller waits and then finds the binary built.
exec 9>"$dir.lock"
flock 9

if [ ! -f "$dir/.ok" ] || [ ! -x "$binary" ]; then
    say "building llama-server from $(basename "$sdist") in $dir (several minutes on 2 cores, once)"
    rm -rf "$dir/src" "$dir/build"
    mkdir -p "$dir/src" "$dir/build"
    tar -xzf "$sdist" -C "$dir/src" --strip-components=1
    kiv_build_step llama-server configure "$dir/configure.log" cmake -S "$dir/src/vendor/llama.cpp" -B "$dir/build" "${FLAGS[@]}"
    kiv_build_step llama-server build "$dir/build.log" cmake --build "$dir/build" --target llama-server -j2
    # The sources are not needed once the binary is there.
    rm -rf "$dir/src"
    touch "$dir/.ok"
    say "built in $((SECONDS - started)) s"
fi
echo "$binary"
