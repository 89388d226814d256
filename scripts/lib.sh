# Shared by the scripts (sourced, not run).

# A Python of one of the versions given (default 3.13): $PYTHON, else pythonX.Y
# or python3 on PATH, else pyenv's. A pyenv shim that is on PATH but has no
# such version selected is skipped.
kiv_find_python() {
    local candidate root version
    local -a versions=("${@:-3.13}") candidates=()
    [ -n "${PYTHON:-}" ] && candidates+=("$PYTHON")
    for version in "${versions[@]}"; do
        command -v "python$version" >/dev/null 2>&1 && candidates+=("$(command -v "python$version")")
    done
    command -v python3 >/dev/null 2>&1 && candidates+=("$(command -v python3)")
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for version in "${versions[@]}"; do
        for candidate in "$root"/versions/"$version"*/bin/python"$version"; do
            [ -x "$candidate" ] && candidates+=("$candidate")
        done
    done
    for candidate in "${candidates[@]}"; do
        if "$candidate" -c 'import sys; sys.exit("%d.%d" % sys.version_info[:2] not in sys.argv[1:])' \
                "${versions[@]}" >/dev/null 2>&1; then
            echo "$candidate"
            return
        fi
    done
    echo "Python ${versions[*]} not found: set PYTHON=/path/to/python${versions[0]}" >&2
    return 1
}

# A virtual environment at $1 with the pinned requirements of the file $2, made
# again only when that file changes (a stamp bears its hash); $3 names it in
# the one line said while it is made.
kiv_pinned_venv() {
    local venv=$1 requirements=$2 what=$3
    local stamp
    stamp="$venv/.installed-$(sha256sum "$requirements" | cut -c1-16)"
    [ -f "$stamp" ] && return
    echo "$what" >&2
    rm -rf "$venv"
    "$(kiv_find_python)" -m venv "$venv"
    kiv_quiet "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
    touch "$stamp"
}

# A virtual environment at $1 with what building and testing need.
kiv_make_venv() {
    local venv=$1 py
    if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
        py=$(kiv_find_python)
        rm -rf "$venv"
        "$py" -m venv "$venv"
    fi
    kiv_quiet "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        "scikit-build-core>=0.10" mypy "${KIV_TEST_REQUIREMENTS[@]}"
}

# What the tests import from PyPI (the modules' part and the server's). The
# anthropic SDK's types are the shapes the Messages API's tests hold answers
# to: the client-library stage's pin, named once there.
KIV_TEST_REQUIREMENTS=(numpy pytest hypothesis jsonschema "google-re2>=1.1" "starlette>=0.40" "uvicorn>=0.30"
    "python-multipart>=0.0.9" "pillow>=10" "openai>=1.40" "av==19.0.2" "prometheus-client>=0.20" tokenizers jinja2
    "$(grep -m1 '^anthropic==' "$(dirname "${BASH_SOURCE[0]}")/clients_requirements.txt")")

# The part of the suite that drives the modules themselves: loading, init, runs
# with streaming, images and tool calls, transcriptions, the object
# lifecycles, signals, and the runtime thread models and races.
KIV_MODULE_TESTS=(tests/velkor tests/quellan tests/reliability/test_thread_models.py tests/reliability/test_threads.py)

# Runs a command, showing its output (less pip's notes on local index folders)
# and keeping its exit status.
kiv_quiet() {
    local out rc=0
    out=$("$@" 2>&1) || rc=$?
    [ -z "$out" ] || grep -v "is ignored: it is neither" <<<"$out" || true
    return "$rc"
}

# The build variants are CMake presets, each named once: CMakePresets.json
# names the package's (release, release-reference, asan, wheel-<arch>),
# reference_runtimes/CMakePresets.json the reference runtimes' (reference,
# ref-test, asan-ref); cmake/sanitizers.json holds the sanitizers of both.
# A preset builds in build/<preset> unless a directory is given.

# pip's --config-settings lines that build the package as preset $1 in the
# directory $2 (default build/$1), with the CMake arguments $3 (separated by
# ';') after the preset's. The build type is the preset's.
kiv_preset_settings() {
    local preset=$1 build_dir=${2:-build/$1} cmake_args=${3:-}
    printf '%s\n' "--config-settings=build-dir=$build_dir" "--config-settings=cmake.build-type=" \
        "--config-settings=cmake.args=--preset=$preset${cmake_args:+;$cmake_args}"
}

# Builds the package as preset $2 and installs it into the venv $1; the
# build directory $3 and the CMake arguments $4 as for kiv_preset_settings.
kiv_build_package() {
    local venv=$1 preset=$2
    local -a settings
    mapfile -t settings < <(kiv_preset_settings "$preset" "${3:-}" "${4:-}")
    CMAKE_BUILD_PARALLEL_LEVEL=2 kiv_quiet "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        --no-build-isolation --no-deps "${settings[@]}" .
}

# The reference runtimes as preset $1 of reference_runtimes/CMakePresets.json
# (default: reference): libvelkor.so and libquellan.so in build/$1.
kiv_build_reference_runtimes() {
    local preset=${1:-reference}
    if ! command -v cmake >/dev/null 2>&1; then
        echo "cmake is needed to build the reference runtimes" >&2
        return 1
    fi
    mkdir -p build
    if ! (cd reference_runtimes && cmake --preset "$preset") >"build/$preset-configure.log" 2>&1; then
        cat "build/$preset-configure.log" >&2
        echo "The reference runtimes need nlohmann/json and libsndfile: scripts/setup.sh installs them when" >&2
        echo "run as root; otherwise: sudo apt-get install nlohmann-json3-dev libsndfile1-dev" >&2
        return 1
    fi
    echo "  (compiling: about half a minute the first time, seconds after)" >&2
    (cd reference_runtimes && cmake --build --preset "$preset") >/dev/null
}

# The sanitizer runtimes to preload into an uninstrumented interpreter: ASan's
# must come first in the process.
kiv_sanitizer_preload() {
    local cc=${CC:-gcc}
    echo "$($cc -print-file-name=libasan.so) $($cc -print-file-name=libubsan.so)"
}

# The small preload library that sends UBSan's reports to $KIV_UBSAN_LOG.
kiv_build_ubsan_log_shim() {
    local out=$1
    mkdir -p "$(dirname "$out")"
    if [ ! -f "$out" ] || [ scripts/ubsan_log_path.c -nt "$out" ]; then
        ${CC:-gcc} -shared -fPIC -O1 -o "$out" scripts/ubsan_log_path.c -ldl
    fi
}

# The sanitizer build shared by sanitize.sh and leakcheck.sh: the modules built
# as preset asan into .venv-asan (build directory build/asan); KIV_SAN_FLAGS
# gives the presets' sanitizers to the test libraries built without CMake.
KIV_SANITIZERS=$(sed -n 's/.*"KIV_SANITIZE": *"\([^"]*\)".*/\1/p' cmake/sanitizers.json)
KIV_ASAN_VENV=.venv-asan
KIV_ASAN_BUILD=build/asan
KIV_SAN_FLAGS="-fsanitize=$KIV_SANITIZERS -fno-omit-frame-pointer -fno-sanitize-recover=all"

kiv_asan_build() {
    kiv_make_venv "$KIV_ASAN_VENV"
    kiv_build_package "$KIV_ASAN_VENV" asan "$KIV_ASAN_BUILD"
    kiv_build_ubsan_log_shim "$KIV_ASAN_BUILD/ubsan_log_path.so"
}

# The environment of a sanitized interpreter (to be exported): the runtimes
# preloaded, the interpreter's allocator off so every block is checked, and
# every report written to a file under $1 as well as failing the process.
kiv_asan_env() {
    local logs=$1
    echo "LD_PRELOAD=$(kiv_sanitizer_preload) $PWD/$KIV_ASAN_BUILD/ubsan_log_path.so"
    echo "PYTHONMALLOC=malloc"
    echo "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
    echo "KIV_UBSAN_LOG=$logs/ubsan"
    echo "KIV_TEST_CXXFLAGS=$KIV_SAN_FLAGS"
}

# Prints the sanitizer reports under $1; fails when there is any. (A file that
# only lists the LeakSanitizer suppressions used is no report.)
kiv_check_reports() {
    local logs=$1 report found=0
    for report in "$logs"/*; do
        [ -f "$report" ] || continue
        grep -q -E "ERROR: [A-Za-z]+Sanitizer|runtime error:" "$report" || continue
        found=1
        echo "==== sanitizer report $report" >&2
        cat "$report" >&2
    done
    return "$found"
}

# The oldest glibc the device wheels (scripts/wheels.sh) run on.
KIV_GLIBC_FLOOR=2.28

# The wheel builder's tools (scripts/wheel_tools.txt: zig, scikit-build-core,
# auditwheel, wheel), pinned by version and hash, in a virtual environment
# under the user's cache named by the hash of the pins; installed on first use.
# Prints its directory.
kiv_wheel_tools() {
    local tools
    tools=${XDG_CACHE_HOME:-$HOME/.cache}/kiv/wheels/tools-$(sha256sum scripts/wheel_tools.txt | cut -c1-12)
    if [ ! -f "$tools/.complete" ]; then
        echo "installing the pinned wheel tools into $tools (zig is a 100 MB download, once)" >&2
        rm -rf "$tools"
        # Called inside $(...), where set -e does not hold: a failure is tested,
        # so a half-installed environment is never marked complete.
        if ! "$(kiv_find_python)" -m venv "$tools" ||
            ! kiv_quiet "$tools/bin/python" -m pip install -q --disable-pip-version-check --require-hashes \
                -r scripts/wheel_tools.txt >&2; then
            echo "could not install the wheel tools" >&2
            rm -rf "$tools"
            return 1
        fi
        touch "$tools/.complete"
    fi
    echo "$tools"
}

# The oldest manylinux tag that auditwheel finds the wheel $2 consistent with
# (auditwheel of the tools $1); prints the report and fails when it finds none.
kiv_manylinux_tag() {
    local report tag
    report=$("$1/bin/auditwheel" show "$2" 2>/dev/null | tr -s ' \n' ' ')
    tag=$(grep -o 'consistent with the following platform tag: "manylinux_[0-9]*_[0-9]*_[a-z0-9_]*"' <<<"$report" \
        | grep -o 'manylinux_[0-9]*_[0-9]*_[a-z0-9_]*') || { echo "$report" >&2; return 1; }
    echo "$tag"
}

# Whether the manylinux tag $1 asks for no glibc newer than $2 (as 2.28).
kiv_tag_within_floor() {
    [[ $1 =~ ^manylinux_([0-9]+)_([0-9]+)_ ]] || return 1
    [ "${BASH_REMATCH[1]}" = "${2%%.*}" ] && [ "${BASH_REMATCH[2]}" -le "${2#*.}" ]
}

# nginx from Debian for the router test (the README's "Running it on a network"):
# the package pinned by version and sha256, unpacked under the user's cache
# (nothing is installed system-wide and no service starts). Prints the binary.
KIV_NGINX_VERSION=1.22.1-9+deb12u12
KIV_NGINX_SHA256_amd64=1a1014cd0dcc0b46b5c9369713d5781493d7effc9b4c25c78ac6369cb4bb71b2
kiv_nginx() {
    local arch sha dir deb tmp
    arch=$(dpkg --print-architecture 2>/dev/null) || { echo "no dpkg here: install nginx and set KIV_NGINX" >&2; return 1; }
    sha=$(eval echo "\${KIV_NGINX_SHA256_$arch:-}")
    dir=${XDG_CACHE_HOME:-$HOME/.cache}/kiv/nginx-$KIV_NGINX_VERSION-$arch
    if [ -x "$dir/usr/sbin/nginx" ]; then
        echo "$dir/usr/sbin/nginx"
        return
    fi
    [ -n "$sha" ] || { echo "no pinned nginx for $arch: install nginx and set KIV_NGINX" >&2; return 1; }
    echo "fetching Debian's nginx $KIV_NGINX_VERSION for the router test (0.5 MB, once) into $dir" >&2
    tmp=$(mktemp -d)
    if ! (cd "$tmp" && apt-get download -qq "nginx=$KIV_NGINX_VERSION" >/dev/null 2>&1); then
        if [ "$(id -u)" = 0 ]; then
            apt-get update -qq >/dev/null 2>&1 || true
            (cd "$tmp" && apt-get download -qq "nginx=$KIV_NGINX_VERSION" >/dev/null 2>&1)
        fi
    fi
    deb=$(ls "$tmp"/nginx_*.deb 2>/dev/null | head -1)
    if [ -z "$deb" ] || ! echo "$sha  $deb" | sha256sum -c --quiet >&2; then
        echo "could not fetch nginx $KIV_NGINX_VERSION with the pinned sha256" >&2
        rm -rf "$tmp"
        return 1
    fi
    rm -rf "$dir.part" && mkdir -p "$dir.part" && dpkg-deb -x "$deb" "$dir.part" && mv "$dir.part" "$dir"
    rm -rf "$tmp"
    # Its libraries (OpenSSL, PCRE2, zlib, libcrypt) are in every Debian base system; as root, add any missing.
    if ldd "$dir/usr/sbin/nginx" | grep -q "not found" && [ "$(id -u)" = 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libssl3 libpcre2-8-0 zlib1g libcrypt1 >/dev/null
    fi
    echo "$dir/usr/sbin/nginx"
}

# Runs a build command with its output in a log file; shows each tenth of
# CMake's progress on stderr, prefixed with LABEL and the seconds since
# $started, and the end of the log when the command fails:
#   kiv_build_step LABEL WHAT LOG COMMAND...
kiv_build_step() {
    local label=$1 what=$2 log=$3 line pct last=-1 rc
    shift 3
    : >"$log"
    set +o pipefail
    "$@" 2>&1 | while IFS= read -r line; do
        printf '%s\n' "$line" >>"$log"
        if [[ $line =~ ^\[\ *([0-9]+)%\] ]]; then
            pct=${BASH_REMATCH[1]}
            if [ $((pct / 10)) -gt "$last" ]; then
                last=$((pct / 10))
                printf '[%s]   %s: %3d%% (%ds)\n' "$label" "$what" "$pct" $((SECONDS - ${started:-0})) >&2
            fi
        fi
    done
    rc=${PIPESTATUS[0]}
    set -o pipefail
    if [ "$rc" != 0 ]; then
        printf '[%s] %s failed; the end of %s:\n' "$label" "$what" "$log" >&2
        tail -n 40 "$log" >&2
        return "$rc"
    fi
}
