#!/usr/bin/env bash
# The main job on any Linux machine, from a fresh clone: sets everything up
# (scripts/setup.sh), builds the runtimes, deploys them into a throwaway copy
# of the installed package and runs examples/demo.py against that copy.
#
#   scripts/demo.sh                  on the real engines: llama.cpp with a small
#                                    LLM and PocketSphinx, built and cached by
#                                    scripts/engines.sh (about 5 minutes the
#                                    first time, with progress; seconds later)
#   scripts/demo.sh --deterministic  on the deterministic reference runtimes
#                                    (build/reference), which also show images
#
# No runtime is ever placed next to the modules in .venv: the demo imports the
# package from the temporary copy (first on PYTHONPATH), which is removed when
# the demo ends. Other arguments go to examples/demo.py.
set -euo pipefail
cd "$(dirname "$0")/.."

engines=real
if [ "${1:-}" = "--deterministic" ]; then
    engines=deterministic
    shift
fi

scripts/setup.sh
source scripts/lib.sh

step() { printf '\n== %s\n' "$*"; }

demo_args=()
if [ "$engines" = real ]; then
    step "Building the real-engine runtimes and fetching their models (scripts/engines.sh)"
    # Debian's flite speaks the sentence that the speech part transcribes.
    if ! command -v flite >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq flite >/dev/null || true
    fi
    paths=$(scripts/engines.sh)
    declare -A found
    while IFS='=' read -r key path; do
        found[$key]=$path
    done <<<"$paths"
    libraries=("${found[libvelkor]}" "${found[libquellan]}")
    demo_args=(--llm-model "${found[llm_model]}" --asr-model "${found[asr_model]}"
               --asr-dict "${found[asr_dict]}" --asr-lm "${found[asr_lm]}")
else
    step "Building the reference runtimes (reference_runtimes/ -> build/reference)"
    kiv_build_reference_runtimes reference
    libraries=(build/reference/libvelkor.so build/reference/libquellan.so)
fi

step "Deploying them into a throwaway copy of the installed package"
installed=$(.venv/bin/python -I -c 'import pathlib, tessel_openai_server as p; print(pathlib.Path(p.__file__).parent)')
work=$(mktemp -d "${TMPDIR:-/tmp}/kiv-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/site"
cp -R "$installed" "$work/site/"
pkg="$work/site/tessel_openai_server/kiv_velkor"
.venv/bin/python -m tessel_openai_server.kiv_velkor install-runtime velkor "${libraries[0]}" \
    --package-dir "$pkg" --force
.venv/bin/python -m tessel_openai_server.kiv_velkor install-runtime quellan "${libraries[1]}" \
    --package-dir "$pkg" --force
# The speech module would load $KIV_QUELLAN_PATH instead of the deployed library.
unset KIV_QUELLAN_PATH
PYTHONPATH="$work/site" .venv/bin/python -m tessel_openai_server.kiv_velkor status

step "Running examples/demo.py"
PYTHONPATH="$work/site" .venv/bin/python examples/demo.py --workdir "$work/files" ${demo_args[@]+"${demo_args[@]}"} "$@"
