#!/usr/bin/env bash
# Targeted leak check: LeakSanitizer over tests/leakcheck/driver.py, which runs
# every path of both modules (construct, init, run, uninit, destroy, images,
# error paths, callbacks that raise, transcribe success and failure) against
# the recording fake runtimes, all built with ASan and UBSan.
#
# The suppressions (tests/leakcheck/lsan.supp) name only the interpreter's own
# string-interning sites, whose strings live until the process ends; they are
# leaf functions that never call back into extension code, so a block that our
# code leaks is never covered by them. A second run proves it: the driver also
# calls a test-only module that leaks a str, a bytes object and a heap block,
# and that run must fail with all three reported.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

LOGS=$PWD/build/leakcheck/logs
SUPPRESSIONS=$PWD/tests/leakcheck/lsan.supp
PY=$KIV_ASAN_VENV/bin/python

kiv_asan_build

# The fakes and the leaking module are compiled without the sanitizer runtime
# preloaded (the compiler's own leaks are not ours).
export KIV_TEST_CXXFLAGS="$KIV_SAN_FLAGS"
"$PY" - <<'PYEOF'
import sys
sys.path.insert(0, "tests")
from support.fake_velkor import build_fake_velkor
from support.native_build import FAKES, build_shared
build_fake_velkor()
build_shared("fake_quellan", [FAKES / "fake_quellan.cpp"])
PYEOF
mkdir -p build/leakcheck/leaky
include=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
suffix=$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
# -O0: the compiler must not drop the deliberately unused allocations.
${CXX:-g++} -std=c++20 -O0 -g -fPIC -shared $KIV_SAN_FLAGS -I"$include" \
    tests/leakcheck/leaky.cpp -o "build/leakcheck/leaky/_kiv_leaky$suffix"

# Runs the driver under LeakSanitizer with logs in $LOGS/$1; prints the
# driver's exit status.
run_driver() {
    local name=$1; shift
    rm -rf "${LOGS:?}/$name"
    mkdir -p "$LOGS/$name"
    local rc=0
    (
        while IFS= read -r assignment; do export "$assignment"; done < <(kiv_asan_env "$LOGS/$name")
        # Full unwinding: the interpreter has no frame pointers, and a stack
        # cut short at its first frame would hide who allocated the block.
        export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:fast_unwind_on_malloc=0:malloc_context_size=30:log_path=$LOGS/$name/asan"
        export LSAN_OPTIONS="suppressions=$SUPPRESSIONS:print_suppressions=1"
        export PYTHONPATH=$PWD/build/leakcheck/leaky
        exec "$PY" tests/leakcheck/driver.py "$@"
    ) >"$LOGS/$name.out" 2>&1 || rc=$?
    echo "$rc"
}

echo "leak check: the modules' own paths"
rc=$(run_driver clean)
cat "$LOGS/clean.out"
if [ "$rc" -ne 0 ] || ! kiv_check_reports "$LOGS/clean"; then
    echo "leak check FAILED: LeakSanitizer reported the leaks above (driver exit $rc)" >&2
    exit 1
fi
echo "leak check: no leak in the modules' paths; interpreter-owned blocks suppressed:"
sed -n '/Suppressions used/,/^---/p' "$LOGS"/clean/asan.* 2>/dev/null | grep -v -e '^---' -e 'Suppressions used' || true

echo "leak check: the check itself, with a deliberately leaking module"
rc=$(run_driver self-test --leak)
reported=$(cat "$LOGS"/self-test/asan.* 2>/dev/null | grep -c "in leak .*tests/leakcheck/leaky.cpp" || true)
if [ "$rc" -eq 0 ] || [ "$reported" -ne 3 ]; then
    cat "$LOGS/self-test.out" "$LOGS"/self-test/* >&2 || true
    echo "leak check FAILED its self-test: the deliberate leaks were not all reported" \
         "(driver exit $rc, $reported of 3 reported)" >&2
    exit 1
fi
echo "leak check: the deliberate leaks were reported ($reported of 3; driver exit $rc)"
