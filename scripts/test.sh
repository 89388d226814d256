#!/usr/bin/env bash
# Builds the manual strictly (docs.sh: no broken link or anchor), sets
# everything up (see setup.sh) and runs the whole test suite, then the
# real-engine tests (engines_test.sh: the modules driving the llama.cpp and
# PocketSphinx runtimes that engines.sh builds), the client libraries against
# the server on the real engine (clients_test.sh), Open WebUI in front of the
# server in a real browser (frontends_test.sh), then the reliability stages:
# the suite again (less the server's HTTP tests) with both modules and the test runtimes
# built with AddressSanitizer and UndefinedBehaviorSanitizer (sanitize.sh),
# the targeted leak check (leakcheck.sh), the aarch64 cross build with its
# native loader test under emulation (cross_aarch64.sh), the device wheels
# built and proven (check_wheels.sh), and the aarch64 wheel in an aarch64
# interpreter under emulation (aarch64_suite.sh); the sanitizer and leak check
# stages run in the background beside the last three. Any failing stage fails
# the script.
#
#   scripts/test.sh [pytest arguments]           every stage
#   scripts/test.sh --quick [pytest arguments]   the manual and the normal suite only (also KIV_QUICK=1)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=${KIV_QUICK:-0}
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi

timings=()
stage="" stage_started=0
run_stage() {
    stage=$1 stage_started=$SECONDS
    shift
    printf '\n===== %s =====\n' "$stage"
    "$@"
    timings+=("$(printf '%5ds  %s' $((SECONDS - stage_started)) "$stage")")
    stage=""
}
# The times are printed also when a stage fails (set -e ends the script there).
print_times() {
    local status=$?
    stop_side_stages
    [ -n "$stage" ] && timings+=("$(printf '%5ds  %s  (FAILED)' $((SECONDS - stage_started)) "$stage")")
    printf '\n===== stage times =====\n'
    printf '%s\n' "${timings[@]}"
    return $status
}
trap print_times EXIT

# side_stages NAME COMMAND... -- NAME COMMAND...: runs the stages one after
# another in the background, in a process group of their own (stopped if the
# script ends first), their output kept in build/side-stages.log;
# join_side_stages waits for them, prints that output and their times, and
# fails when one failed.
side_pid="" side_dir=build/side-stages
side_stages() {
    rm -rf "$side_dir"
    mkdir -p "$side_dir"
    set -m
    (
        set +m
        while [ $# -gt 0 ]; do
            local name=$1 command=()
            shift
            while [ $# -gt 0 ] && [ "$1" != -- ]; do command+=("$1"); shift; done
            [ $# -eq 0 ] || shift
            local started=$SECONDS
            printf '\n===== %s =====\n' "$name"
            if ! "${command[@]}"; then
                printf '%5ds  %s  (FAILED)\n' $((SECONDS - started)) "$name" >> "$side_dir/times"
                exit 1
            fi
            printf '%5ds  %s  (beside the next stages)\n' $((SECONDS - started)) "$name" >> "$side_dir/times"
        done
    ) > "$side_dir/log" 2>&1 &
    side_pid=$!
    set +m
    printf '\n===== started beside the next stages: %s (output in %s/log) =====\n' "$1" "$side_dir"
}
join_side_stages() {
    local status=0
    wait "$side_pid" || status=$?
    side_pid=""
    cat "$side_dir/log"
    [ ! -f "$side_dir/times" ] || mapfile -t -O "${#timings[@]}" timings < "$side_dir/times"
    [ "$status" = 0 ] || { echo "a stage run beside the others failed (above)" >&2; return 1; }
}
stop_side_stages() {
    [ -z "$side_pid" ] || kill -- -"$side_pid" 2>/dev/null || true
}

normal_suite() {
    scripts/setup.sh
    # The router test puts Debian's nginx in front of two servers (skipped without it; CI must have it).
    source scripts/lib.sh
    if nginx_binary=$(kiv_nginx); then
        export KIV_NGINX=$nginx_binary
    elif [ "${CI:-}" = true ]; then
        return 1
    fi
    # The real-engine, client-library and front-end tests have stages of their own.
    .venv/bin/python -m pytest -q --ignore=tests/engines --ignore=tests/clients --ignore=tests/frontends "$@"
}

run_stage "docs: the manual built with mkdocs build --strict" scripts/docs.sh
run_stage "tests (release build)" normal_suite "$@"
if [ "$quick" != 1 ]; then
    run_stage "real engines: llama.cpp and PocketSphinx runtimes" scripts/engines_test.sh
    run_stage "client libraries: LangChain, litellm, the Agents SDK, instructor, the anthropic SDK on the real engine" \
        scripts/clients_test.sh
    run_stage "front-ends: Open WebUI in chromium in front of serve on the real engine" scripts/frontends_test.sh
    # The sanitizer stages run beside the architecture stages: each side is
    # mostly one serial pytest (natively under ASan, or emulated by qemu), so
    # on two cores the pair takes the time of the longer side, not of both.
    # They share no build directory, virtual environment or cache. The side's
    # output is shown when it ends.
    side_stages "sanitizers: the suite under ASan and UBSan" scripts/sanitize.sh \
        -- "leak check (LeakSanitizer)" scripts/leakcheck.sh
    run_stage "aarch64: cross build and native test under qemu" scripts/cross_aarch64.sh
    run_stage "wheels: manylinux_2_28 for x86_64 and aarch64, the suite and the native test on them" \
        scripts/check_wheels.sh
    run_stage "aarch64 interpreter: the aarch64 wheel's modules and the server under qemu" scripts/aarch64_suite.sh
    join_side_stages
fi
