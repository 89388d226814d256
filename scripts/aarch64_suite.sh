#!/usr/bin/env bash
# The aarch64 wheel in an aarch64 CPython 3.13, under emulation: installs the
# wheel of scripts/wheels.sh with pip into a virtual environment of an arm64
# Debian 13 root and runs there, under qemu-user, the part of the suite that
# drives the modules (KIV_MODULE_TESTS, as check_wheels.sh runs it from the
# x86_64 wheel) and the serving tests (the layer, and the server's end-to-end
# tests with the official openai client on the reference runtimes; the rest of
# tests/server checks HTTP logic in Python, the same on every architecture,
# and runs in the normal stage).
#
#   scripts/aarch64_suite.sh [pytest arguments]   (default: the selection above)
#
# The root (Python 3.13, libsndfile, binutils; a virtual environment with the
# test dependencies) is built once and cached under
# ${XDG_CACHE_HOME:-~/.cache}/kiv/aarch64, keyed on everything that makes it.
# Each run mounts it read-only under a throwaway overlay, so the installed
# wheel never reaches the cache. The recording fakes and the reference
# runtimes are cross-built for aarch64 on this machine (the tests find them
# through KIV_TEST_LIBS_DIR with the same CXX, and KIV_REF_BUILD_DIR).
# KIV_EMULATED=1 tells the tests they run emulated (tests/support/emulation.py):
# their loops are shorter, resident memory is not checked (the emulator keeps
# some of every thread that has ended), and waits that only a hang would
# exhaust are longer.
#
# Needs root (chroot, mounts), and installs with apt-get what is missing:
# mmdebstrap, qemu-user-static with binfmt-support, the aarch64 cross
# compiler, CMake and the reference runtimes' headers. Without them it says
# so and exits 0, except in CI (CI=true), where it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/kiv/aarch64
OUT=build/aarch64-suite
PLATFORM=manylinux_${KIV_GLIBC_FLOOR/./_}
CXX_CROSS=aarch64-linux-gnu-g++
VENV=/opt/venv
# qemu's default CPU authenticates every return address with the QARMA
# cipher in software, which makes the interpreter 15 times slower again; a
# Neoverse N1 (ARMv8.2 with the LSE atomics) has no pointer authentication.
QEMU_CPU_MODEL=neoverse-n1

# What the root is made of: this text and the function below are its cache key.
ROOT_RECIPE="suite=trixie mirror=${KIV_AARCH64_MIRROR:-http://deb.debian.org/debian}
packages=python3.13,python3.13-venv,libsndfile1,libstdc++6,binutils
requirements=${KIV_TEST_REQUIREMENTS[*]}"

progress() { echo "aarch64_suite: $*" >&2; }

unavailable() {
    progress "$1"
    [ "${CI:-}" != "true" ] || exit 1
    progress "skipped (not in CI)"
    exit 0
}

# --- inside a private mount namespace (see in_root) ---------------------------

# Mounts what a process in the root needs ($1: the root) and runs the command
# that follows in it, as root, in $PWD (the work tree, mounted at its own path
# when $KIV_MOUNT_TREE is 1), with a clean environment.
if [ "${1:-}" = --in-namespace ]; then
    root=$2
    shift 2
    mount -t proc proc "$root/proc"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
    mount --bind -o ro /etc/resolv.conf "$root/etc/resolv.conf"
    mount --bind -o ro /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
    wd=/
    if [ "${KIV_MOUNT_TREE:-0}" = 1 ]; then
        mkdir -p "$root$PWD"
        mount --bind "$PWD" "$root$PWD"
        wd=$PWD
    fi
    exec env -i PATH=$VENV/bin:/usr/bin HOME=/root LANG=C.UTF-8 TMPDIR=/tmp PYTHONUNBUFFERED=1 \
        QEMU_CPU=$QEMU_CPU_MODEL SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt \
        PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
        ${KIV_ROOT_ENV:-} unshare --root="$root" --wd="$wd" "$@"
fi

# Runs a command in the root $1, in a mount namespace of its own: every mount
# goes away with it.
in_root() {
    unshare --mount --propagation private "$0" --in-namespace "$@"
}

# --- the machine's tools -------------------------------------------------------

[ "$(id -u)" = 0 ] || unavailable "needs root (chroot and mounts)"
[ "$(uname -m)" = x86_64 ] || unavailable "the stage runs on x86_64 (its cross compiler and wheel builder are x86_64 ones)"
missing=()
command -v mmdebstrap >/dev/null 2>&1 || missing+=(mmdebstrap)
[ -x /usr/bin/qemu-aarch64-static ] || missing+=(qemu-user-static)
command -v update-binfmts >/dev/null 2>&1 || missing+=(binfmt-support)
command -v "$CXX_CROSS" >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
[ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
[ -f /usr/include/sndfile.h ] || missing+=(libsndfile1-dev)
if [ ${#missing[@]} -gt 0 ]; then
    command -v apt-get >/dev/null 2>&1 || unavailable "missing: ${missing[*]}"
    progress "installing ${missing[*]} with apt-get"
    { apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; } \
        || unavailable "apt-get could not install ${missing[*]}"
fi

# binfmt_misc runs aarch64 programs through qemu; the F flag (the emulator
# opened when registered) lets it work inside the root, which has no qemu.
binfmt=/proc/sys/fs/binfmt_misc
[ -f "$binfmt/status" ] || mount -t binfmt_misc binfmt_misc "$binfmt" || unavailable "cannot mount $binfmt"
[ -f "$binfmt/qemu-aarch64" ] || update-binfmts --import qemu-aarch64 >/dev/null 2>&1 || true
update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
grep -q '^enabled' "$binfmt/qemu-aarch64" 2>/dev/null && grep -q '^flags: .*F' "$binfmt/qemu-aarch64" \
    || unavailable "qemu-aarch64 is not registered with binfmt_misc with the F flag (qemu-user-static's way)"

# --- the root --------------------------------------------------------------------

# Makes the root in $1: the packages unpacked (mmdebstrap's extract variant
# runs no maintainer script, so nothing runs emulated but Python), the merged
# /usr links and the few files those scripts would have made, the standard
# library byte-compiled, and the virtual environment with the test dependencies.
make_root() {
    local root=$1 suite mirror packages
    suite=$(sed -n 's/^suite=\([^ ]*\).*/\1/p' <<<"$ROOT_RECIPE")
    mirror=$(sed -n 's/.* mirror=\(.*\)/\1/p' <<<"$ROOT_RECIPE")
    packages=$(sed -n 's/^packages=//p' <<<"$ROOT_RECIPE")
    progress "1/3 downloading and unpacking arm64 Debian $suite: $packages"
    mmdebstrap --quiet --arch=arm64 --variant=extract --include="$packages" "$suite" "$root" "$mirror"
    for dir in bin lib sbin; do ln -s "usr/$dir" "$root/$dir"; done
    mkdir -p "$root/proc" "$root/dev/shm" "$root/root" "$root/etc/ssl/certs"
    touch "$root/etc/resolv.conf" "$root/etc/ssl/certs/ca-certificates.crt"
    printf '127.0.0.1 localhost\n::1 localhost\n' >"$root/etc/hosts"
    echo 'root:x:0:0:root:/root:/bin/sh' >"$root/etc/passwd"
    echo 'root:x:0:' >"$root/etc/group"
    progress "2/3 byte-compiling the standard library under emulation (about a minute)"
    in_root "$root" python3.13 -m compileall -q -j 2 -x '/(test|idlelib|tkinter|turtledemo)/' \
        /usr/lib/python3.13 >/dev/null
    progress "3/3 the virtual environment and the test dependencies from PyPI, under emulation (two minutes or so)"
    in_root "$root" python3.13 -m venv "$VENV"
    in_root "$root" "$VENV/bin/python" -m pip install -q --no-cache-dir "${KIV_TEST_REQUIREMENTS[@]}"
}

ROOT_KEY=$( { echo "$ROOT_RECIPE"; declare -f make_root; } | sha256sum | cut -c1-16)
ROOT=$CACHE/root-$ROOT_KEY
if [ ! -f "$ROOT.complete" ]; then
    progress "making the arm64 root with Python 3.13 in $ROOT (once; a few minutes)"
    started=$SECONDS
    partial=$ROOT.partial-$$
    mkdir -p "$CACHE"
    rm -rf "$partial"
    make_root "$partial"
    # Another run may have finished the same root meanwhile: keep the first.
    if [ -f "$ROOT.complete" ]; then
        rm -rf "$partial"
    else
        rm -rf "$ROOT"
        mv "$partial" "$ROOT"
        touch "$ROOT.complete"
    fi
    progress "root ready in $((SECONDS - started)) s"
fi

# --- the wheel and the native test libraries for aarch64 ----------------------------

scripts/wheels.sh aarch64 >/dev/null
wheel=$(ls "$PWD"/dist/tessel_openai_server_kiv_velkor-*-cp313-cp313-"$PLATFORM"_aarch64.whl)
mkdir -p "$OUT"

# The recording fakes, built by the tests' own builder with the cross compiler
# into the directory the tests then read them from (same names, same CXX).
progress "cross-building the recording fakes and the reference runtimes for aarch64"
TEST_ENV=(CXX="$CXX_CROSS" KIV_TEST_LIBS_DIR="$PWD/$OUT/test-libs" KIV_REF_BUILD_DIR="$PWD/$OUT/reference"
    KIV_REF_PREBUILT=1)
env "${TEST_ENV[@]}" "$(kiv_find_python)" - <<'PY'
import sys
sys.path.insert(0, "tests")
from support.fake_velkor import build_fake_velkor
from support.native_build import build_fake_quellan

for omit_vision in (False, True):
    build_fake_velkor(omit_vision=omit_vision)
for defines in ((), ("FAKE_QUELLAN_NO_UNINIT",), ("FAKE_QUELLAN_MALLOC_HOOK",)):
    build_fake_quellan(*defines)
PY

# The reference runtimes: the headers of nlohmann/json and libsndfile are the
# machine's (the same on every architecture), the library libsndfile is the
# root's arm64 one; they reach CMake through a small prefix of their own, so
# that no other header or library of this machine is seen by the cross build.
stage=$PWD/$OUT/reference-deps
rm -rf "$stage"
mkdir -p "$stage/include" "$stage/lib/pkgconfig" "$stage/share/cmake"
ln -s /usr/include/nlohmann "$stage/include/nlohmann"
ln -s /usr/include/sndfile.h "$stage/include/sndfile.h"
cp -r /usr/share/cmake/nlohmann_json "$stage/share/cmake/"
ln -s "$ROOT/usr/lib/aarch64-linux-gnu/libsndfile.so.1" "$stage/lib/libsndfile.so"
cat >"$stage/lib/pkgconfig/sndfile.pc" <<PC
Name: sndfile
Description: the arm64 root's libsndfile
Version: 1.2
Cflags: -I$stage/include
Libs: -L$stage/lib -lsndfile
PC
cat >"$stage/toolchain.cmake" <<CMAKE
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER $CXX_CROSS)
set(CMAKE_FIND_ROOT_PATH $stage)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# libsndfile's own libraries, for the linker to follow.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,$ROOT/usr/lib/aarch64-linux-gnu")
CMAKE
if ! PKG_CONFIG_LIBDIR=$stage/lib/pkgconfig cmake -S reference_runtimes -B "$OUT/reference" \
        -DCMAKE_TOOLCHAIN_FILE="$stage/toolchain.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        >"$OUT/reference-configure.log" 2>&1 \
    || ! cmake --build "$OUT/reference" -j2 >"$OUT/reference-build.log" 2>&1; then
    cat "$OUT/reference-configure.log" "$OUT/reference-build.log" 2>/dev/null >&2
    progress "the aarch64 build of the reference runtimes failed"
    exit 1
fi

# --- the run ---------------------------------------------------------------------------

# The cached root, read-only under an overlay that is thrown away afterwards.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kiv-aarch64-suite.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/upper" "$scratch/work" "$scratch/root"

# Left out: the flatness of 5,500 lifecycles (test_memory), ten minutes under
# emulation; what it proves does not depend on the architecture, and the
# native suite and the leak check hold it.
[ $# -gt 0 ] || set -- "${KIV_MODULE_TESTS[@]}" tests/streaming tests/server/test_server.py --durations=10 \
    --deselect tests/velkor/test_memory.py::test_construct_init_run_uninit_destroy_is_flat
export KIV_MOUNT_TREE=1 KIV_ROOT_ENV="KIV_EMULATED=1 ${TEST_ENV[*]}"
progress "installing the wheel with the root's pip and running the tests under qemu-aarch64 ($QEMU_CPU_MODEL)"
unshare --mount --propagation private bash -euo pipefail -c '
    cached=$1 scratch=$2 wheel=$3 script=$4
    shift 4
    mount -t overlay overlay -o "lowerdir=$cached,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
    in_root() { unshare --mount --propagation private "$script" --in-namespace "$scratch/root" "$@"; }
    in_root python -m pip install -q --no-deps --no-index "$wheel"
    in_root python scripts/imported_from_wheel.py "$wheel"
    in_root python -m pytest -q -p no:cacheprovider "$@"
' _ "$ROOT" "$scratch" "$wheel" "$0" "$@"
