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
    # Shows each tenth of CMake's progress; the end of the log when a step fails.
    step() {
        local what=$1 log=$2 line pct last=-1 rc
        shift 2
        set +o pipefail
        "$@" 2>&1 | while IFS= read -r line; do
            printf '%s\n' "$line" >>"$log"
            if [[ $line =~ ^\[\ *([0-9]+)%\] ]]; then
                pct=${BASH_REMATCH[1]}
                if [ $((pct / 10)) -gt "$last" ]; then
                    last=$((pct / 10))
                    say "$(printf '%s: %3d%% (%ds)' "$what" "$pct" $((SECONDS - started)))"
                fi
            fi
        done
        rc=${PIPESTATUS[0]}
        set -o pipefail
        if [ "$rc" != 0 ]; then
            say "$what failed; the end of $log:"
            tail -n 40 "$log" >&2
            exit "$rc"
        fi
    }
    step configure "$dir/configure.log" cmake -S "$dir/src/vendor/llama.cpp" -B "$dir/build" "${FLAGS[@]}"
    step build "$dir/build.log" cmake --build "$dir/build" --target llama-server -j2
    # The sources are not needed once the binary is there.
    rm -rf "$dir/src"
    touch "$dir/.ok"
    say "built in $((SECONDS - started)) s"
fi
echo "$binary"
