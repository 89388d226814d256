#!/usr/bin/env bash
# Builds the device wheels (scripts/wheels.sh) and proves them:
#
# 1. auditwheel finds each wheel consistent with manylinux_2_28 or an older tag;
# 2. the x86_64 wheel, installed into a fresh virtual environment
#    (build/wheels/venv), passes the part of the normal suite that drives the
#    modules themselves, run from there: loading, init, runs with streaming,
#    images and tool calls, transcriptions, the object lifecycles, and the
#    runtime thread models and races (the wheels carry another C++ runtime);
#    tests/wheels also reads every module's symbol versions, libraries and
#    exports out of both wheels (KIV_WHEELS);
# 3. the aarch64 wheel's modules, unpacked, pass the native loader test under
#    qemu-aarch64 (scripts/cross_aarch64.sh --modules).
#
#   scripts/check_wheels.sh [pytest arguments]   (default: the part named in 2.)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

PLATFORM=manylinux_${KIV_GLIBC_FLOOR/./_}
WORK=build/wheels
VENV=$WORK/venv
PACKAGE=tessel_openai_server/kiv_velkor

scripts/wheels.sh
x86_64_wheel=$(ls dist/tessel_openai_server_kiv_velkor-*-cp313-cp313-"$PLATFORM"_x86_64.whl)
aarch64_wheel=$(ls dist/tessel_openai_server_kiv_velkor-*-cp313-cp313-"$PLATFORM"_aarch64.whl)

echo "== auditwheel show"
tools=$(kiv_wheel_tools)
for wheel in "$x86_64_wheel" "$aarch64_wheel"; do
    tag=$(kiv_manylinux_tag "$tools" "$wheel")
    echo "$(basename "$wheel"): consistent with $tag"
    kiv_tag_within_floor "$tag" "$KIV_GLIBC_FLOOR" || { echo "check_wheels: newer than glibc $KIV_GLIBC_FLOOR" >&2; exit 1; }
done

echo "== the x86_64 wheel in a fresh virtual environment: the modules' part of the suite"
# A new environment with what the suite needs (as .venv has it), then the wheel.
rm -rf "$VENV"
kiv_make_venv "$VENV"
kiv_quiet "$VENV/bin/python" -m pip install -q --disable-pip-version-check "$x86_64_wheel"
"$VENV/bin/python" scripts/imported_from_wheel.py "$x86_64_wheel"
[ $# -gt 0 ] || set -- "${KIV_MODULE_TESTS[@]}" tests/wheels
KIV_WHEELS=$PWD/dist "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"

echo "== the aarch64 wheel's modules: the native loader test under qemu-aarch64"
rm -rf "$WORK/aarch64-files"
"$VENV/bin/python" -m zipfile -e "$aarch64_wheel" "$WORK/aarch64-files"
scripts/cross_aarch64.sh --modules "$WORK/aarch64-files/$PACKAGE"
