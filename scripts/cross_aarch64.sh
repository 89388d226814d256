#!/usr/bin/env bash
# The device's architecture: cross-compiles both modules' C++ sources for
# aarch64 with Debian's cross toolchain (against this machine's Python headers,
# compile only: it proves the records' static_asserts on aarch64), and builds
# tests/native/loader_test.cpp with both loaders and the recording fakes as
# aarch64 binaries, then runs it under qemu's user-mode emulation.
#
#   scripts/cross_aarch64.sh                   sources compiled, loaders linked in
#   scripts/cross_aarch64.sh --modules DIR     the loaders of built modules instead
#
# With --modules, the test is linked against the aarch64 modules in DIR (an
# unpacked wheel's package directory, see scripts/check_wheels.sh): their
# exported loaders and shims are what it calls. The modules' interpreter
# symbols are resolved by a generated stub library whose functions abort, so a
# loader or shim that touched the interpreter would fail the test.
#
# Installs g++-aarch64-linux-gnu and qemu-user with apt-get when they are
# missing. Without them (and no way to install them) it says so and exits 0,
# except in CI (CI=true), where it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

OUT=build/aarch64
CXX_CROSS=aarch64-linux-gnu-g++
SYSROOT=/usr/aarch64-linux-gnu
NATIVE=proxy_server/kiv_velkor/native
MODULES=
if [ "${1:-}" = "--modules" ]; then
    MODULES=${2:?--modules needs a directory}
    [ -d "$MODULES" ] || { echo "cross_aarch64: $MODULES is not a directory" >&2; exit 1; }
    OUT=build/aarch64-modules
fi

unavailable() {
    echo "cross_aarch64: $1" >&2
    if [ "${CI:-}" = "true" ]; then
        exit 1
    fi
    echo "cross_aarch64: skipped (not in CI)" >&2
    exit 0
}

if ! command -v "$CXX_CROSS" >/dev/null 2>&1 || ! command -v qemu-aarch64 >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "cross_aarch64: installing the cross toolchain and qemu-user"
        apt-get update -qq >/dev/null || true
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-aarch64-linux-gnu qemu-user \
            libc6-arm64-cross >/dev/null || unavailable "apt-get could not install the cross toolchain or qemu-user"
    fi
    command -v "$CXX_CROSS" >/dev/null 2>&1 || unavailable "$CXX_CROSS not found"
    command -v qemu-aarch64 >/dev/null 2>&1 || unavailable "qemu-aarch64 not found"
fi

PY=$(kiv_find_python)
PY_INCLUDE=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
mkdir -p "$OUT"
FLAGS=(-std=c++20 -O2 -Wall -Wextra -Wno-missing-field-initializers -Wno-cast-function-type -fPIC)

# 1. Both modules' sources, compiled for aarch64 (the static_asserts on the
#    records' sizes and offsets are checked here; built modules have had them).
if [ -z "$MODULES" ]; then
    sources=("$NATIVE"/common/*.cpp "$NATIVE"/velkor/*.cpp "$NATIVE"/quellan/*.cpp)
    for source in "${sources[@]}"; do
        "$CXX_CROSS" "${FLAGS[@]}" -fvisibility=hidden -I"$PY_INCLUDE" -I"$NATIVE" \
            '-DKIV_MODULE_NAME="tessel_openai_server.kiv_velkor.cross"' \
            -c "$source" -o "$OUT/$(basename "${source%.cpp}").o"
    done
    echo "cross_aarch64: ${#sources[@]} module sources compiled for aarch64 (record layouts proven)"
fi

# 2. The fakes as aarch64 shared libraries, and the native test program.
"$CXX_CROSS" "${FLAGS[@]}" -shared -pthread tests/fakes/fake_velkor.cpp -o "$OUT/fake_velkor.so"
"$CXX_CROSS" "${FLAGS[@]}" -shared -pthread -DFAKE_OMIT_GET_VISION_INFO tests/fakes/fake_velkor.cpp \
    -o "$OUT/fake_velkor_no_vision.so"
"$CXX_CROSS" "${FLAGS[@]}" -shared tests/fakes/fake_quellan.cpp -o "$OUT/fake_quellan.so" -ldl
"$CXX_CROSS" "${FLAGS[@]}" -shared -DFAKE_QUELLAN_NO_UNINIT tests/fakes/fake_quellan.cpp \
    -o "$OUT/fake_quellan_no_uninit.so" -ldl
if [ -z "$MODULES" ]; then
    loaders=("$NATIVE/common/dynamic_library.cpp" "$NATIVE/velkor/velkor_loader.cpp" "$NATIVE/quellan/quellan_loader.cpp")
else
    # The modules' interpreter symbols (unversioned, unlike the C library's):
    # one aborting function each. A module without a SONAME is recorded by the
    # path it was linked with, so the test loads exactly these files.
    loaders=("$PWD/$MODULES"/_velkor.*.so "$PWD/$MODULES"/_quellan.*.so)
    [ -f "${loaders[0]}" ] && [ -f "${loaders[1]}" ] \
        || { echo "cross_aarch64: no _velkor and _quellan modules in $MODULES" >&2; exit 1; }
    {
        echo '#include <stdio.h>'
        echo '#include <stdlib.h>'
        echo 'static void called(const char* name) {'
        echo '    fprintf(stderr, "interpreter function %s called without an interpreter\n", name);'
        echo '    abort();'
        echo '}'
        nm -D --undefined-only "${loaders[@]}" | awk '$1 == "U" && $2 !~ /@/ { print $2 }' | sort -u \
            | while read -r name; do echo "void $name(void) { called(\"$name\"); }"; done
    } >"$OUT/interpreter_stub.c"
    aarch64-linux-gnu-gcc -O1 -fPIC -shared "$OUT/interpreter_stub.c" -o "$OUT/interpreter_stub.so"
    loaders+=(-Wl,--no-as-needed "$PWD/$OUT/interpreter_stub.so")
fi
"$CXX_CROSS" "${FLAGS[@]}" -I"$NATIVE" tests/native/loader_test.cpp "${loaders[@]}" -ldl -pthread -o "$OUT/loader_test"
file "$OUT/loader_test" 2>/dev/null | grep -q "ARM aarch64" || [ ! -x "$(command -v file)" ] \
    || { echo "cross_aarch64: loader_test is not an aarch64 binary" >&2; exit 1; }

# 3. Run it under emulation; the loaders' diagnostics for the failing loads
#    are expected on stderr.
echo "cross_aarch64: running the native loader test under qemu-aarch64${MODULES:+ against the modules in $MODULES}"
qemu-aarch64 -L "$SYSROOT" "$OUT/loader_test" "$PWD/$OUT/fake_velkor.so" "$PWD/$OUT/fake_velkor_no_vision.so" \
    "$PWD/$OUT/fake_quellan.so" "$PWD/$OUT/fake_quellan_no_uninit.so"
