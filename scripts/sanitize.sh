#!/usr/bin/env bash
# Builds both modules with AddressSanitizer and UndefinedBehaviorSanitizer into
# their own virtual environment (.venv-asan) and build directory (build/asan),
# builds the test runtimes (recording fakes, reference runtimes) with the same
# sanitizers, and runs the test suite with the sanitizer runtimes preloaded
# into the interpreter. Any sanitizer report, in pytest itself or in any
# subprocess it starts, fails the script.
#
#   scripts/sanitize.sh [pytest arguments]   (default: the suite less the parts below)
#
# Left out by default: the HTTP server's tests (tests/server: the server calls
# the modules only through the streaming layer, which tests/streaming drives
# under the sanitizers; its HTTP logic is Python) and the static typing checks
# (tests/typing), which run no native code; both run in the normal stage.
#
# Leak detection is off here (the interpreter leaks by design at exit); the
# targeted leak check is scripts/leakcheck.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

LOGS=$PWD/build/asan-logs

kiv_asan_build

rm -rf "$LOGS"
mkdir -p "$LOGS"
status=0
(
    while IFS= read -r assignment; do export "$assignment"; done < <(kiv_asan_env "$LOGS")
    # A report stops the process that hit it; it is also written to a file, so
    # one in a subprocess whose failure a test expects is not lost.
    export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$LOGS/asan"
    # tests/reference builds the reference runtimes as this preset (build/asan-ref).
    export KIV_REF_PRESET=asan-ref
    export CMAKE_BUILD_PARALLEL_LEVEL=2
    [ $# -gt 0 ] || set -- --ignore=tests/server --ignore=tests/typing
    exec "$KIV_ASAN_VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
) || status=$?

if ! kiv_check_reports "$LOGS"; then
    echo "sanitizers: reports found (above)" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitized test run failed (exit $status)" >&2
    exit "$status"
fi
echo "sanitizers: no report"
