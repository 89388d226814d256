#!/usr/bin/env bash
# Builds the CPython 3.13 wheels for the devices, x86_64 and aarch64 Linux with
# glibc 2.28 or newer, from this x86_64 Linux machine, and prints where they are.
#
#   scripts/wheels.sh [x86_64] [aarch64]      both when none is named
#
# The wheels go to dist/, tagged cp313-cp313-manylinux_2_28_<arch>.
#
# How: the package is built by scikit-build-core and CMake as `pip install .`
# builds it, as the CMake preset wheel-<arch> (CMakePresets.json), with zig's clang (PyPI's ziglang) as the C and C++ compiler
# for the target <arch>-linux-gnu.2.28. zig links against the symbol sets of
# glibc 2.28 and statically links its own build of LLVM's C++ runtime, so the
# modules need only libc (and libpthread and libdl, separate libraries before
# glibc 2.34). Its linker has no --exclude-libs: KIV_EXPORT_MAP keeps the C++
# runtime's symbols out of the dynamic symbol table with a version script.
# The modules are stripped when linked (the build machine's strip cannot read
# aarch64 files). auditwheel then checks each wheel against manylinux_2_28 and
# wheel retags it.
#
# The interpreter's headers: both targets compile against the headers of the
# Python 3.13 that runs the build. CPython's headers are the same on every
# platform except pyconfig.h; scripts/pyconfig_fits.c, compiled for each
# target first, proves that the type sizes, alignments and byte order that
# pyconfig.h was configured with hold on the target (LP64 little-endian Linux
# on both), and the records' static_asserts hold in the modules' own build.
# The interpreter keeps its ABI across a feature release's bugfix releases, so
# the wheels serve any CPython 3.13.x.
#
# The tools (scripts/wheel_tools.txt, pinned by version and hash) and zig's
# cache, which holds the C++ runtime built for each target, live under
# ${XDG_CACHE_HOME:-~/.cache}/kiv/wheels: the first run takes about two
# minutes, later ones seconds. Build trees are in build/wheels/<arch>.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

OUT=dist
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(x86_64 aarch64)
for arch in "${archs[@]}"; do
    case $arch in
        x86_64 | aarch64) ;;
        *) echo "wheels: unknown architecture $arch (x86_64 or aarch64)" >&2; exit 2 ;;
    esac
done
if [ "$(uname -s)-$(uname -m)" != Linux-x86_64 ]; then
    echo "wheels: the builder runs on x86_64 Linux (its pinned compiler is the x86_64 one)" >&2
    exit 1
fi

progress() { echo "wheels: $*" >&2; }

TOOLS=$(kiv_wheel_tools)
ZIG=$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
PY_INCLUDE=$("$TOOLS/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
ZIG_GLOBAL_CACHE_DIR=$(dirname "$TOOLS")/zig-cache
export ZIG_GLOBAL_CACHE_DIR ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR

# CMake takes a compiler as one program: one wrapper per language and target.
# It optimises by default (zig's unoptimised mode would also instrument C code
# with its sanitizer) and strips every link: zig builds its C++ runtime for
# each optimisation and strip setting of a link, so CMake's compiler checks,
# which link programs without flags, and the build share one. The build's own
# -O3 comes later and wins (zig builds the runtime alike for -O2 and -O3).
compiler_wrapper() {
    local language=$1 target=$2 wrapper=$TOOLS/bin/$1-$2
    cat >"$wrapper.tmp" <<WRAPPER
#!/bin/sh
case " \$* " in
    *" -c "* | *" -E "* | *" -S "* | *" -M "* | *" -MM "*) exec "$ZIG" $language -target $target -O2 "\$@" ;;
esac
exec "$ZIG" $language -target $target -O2 -s "\$@"
WRAPPER
    chmod +x "$wrapper.tmp"
    mv "$wrapper.tmp" "$wrapper"
    echo "$wrapper"
}

mkdir -p "$OUT"
built=()
for arch in "${archs[@]}"; do
    target=$arch-linux-gnu.$KIV_GLIBC_FLOOR
    plat=manylinux_${KIV_GLIBC_FLOOR/./_}_$arch
    work=build/wheels/$arch
    mkdir -p "$work"
    "$ZIG" cc -target "$target" -c -o "$work/pyconfig_fits.o" -I"$PY_INCLUDE" scripts/pyconfig_fits.c

    mapfile -t settings < <(kiv_preset_settings "wheel-$arch" "$work/cmake")
    progress "building for $target (a first build also compiles the C++ runtime for it, about a minute)"
    started=$SECONDS
    rm -rf "$work/raw"
    if ! CC=$(compiler_wrapper cc "$target") CXX=$(compiler_wrapper c++ "$target") \
        _PYTHON_HOST_PLATFORM=linux-$arch SETUPTOOLS_EXT_SUFFIX=.cpython-313-$arch-linux-gnu.so \
        CMAKE_BUILD_PARALLEL_LEVEL=2 \
        "$TOOLS/bin/python" -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps \
            -w "$work/raw" \
            "${settings[@]}" --config-settings=install.strip=false \
            . >"$work/build.log" 2>&1; then
        cat "$work/build.log" >&2
        progress "the $arch build failed (log: $work/build.log)"
        exit 1
    fi
    raw=("$work"/raw/*-linux_"$arch".whl)

    # auditwheel names the oldest manylinux tag the wheel is consistent with.
    consistent=$(kiv_manylinux_tag "$TOOLS" "${raw[0]}")
    if ! kiv_tag_within_floor "$consistent" "$KIV_GLIBC_FLOOR"; then
        progress "the $arch wheel is consistent with $consistent only, not with $plat"
        exit 1
    fi
    rm -f "$OUT"/tessel_openai_server_kiv_velkor-*-"$plat".whl
    wheel=$("$TOOLS/bin/python" -m wheel tags --platform-tag "$plat" "${raw[0]}" | tail -n 1)
    mv "$work/raw/$wheel" "$OUT/$wheel"
    progress "$arch: $((SECONDS - started)) s; auditwheel: consistent with $consistent"
    built+=("$OUT/$wheel")
done

echo "Wheels (CPython 3.13, glibc $KIV_GLIBC_FLOOR or newer):"
for wheel in "${built[@]}"; do
    printf '  %s  (%s kB)\n' "$PWD/$wheel" "$(( $(stat -c %s "$wheel") / 1000 ))"
done
