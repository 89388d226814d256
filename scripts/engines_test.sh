#!/usr/bin/env bash
# The real-engine stage of test.sh: builds the real-engine runtimes and fetches
# their models with engines.sh (or finds them in its cache), installs Debian's
# flite for the speech the tests synthesise (when run as root), and runs
# tests/engines against them. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

[ -x .venv/bin/python ] || scripts/setup.sh
if ! command -v flite >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq flite >/dev/null
    else
        echo "flite is missing (sudo apt-get install flite): the transcription test will skip" >&2
        # In CI the word-error-rate check must run.
        [ "${CI:-}" != "true" ] || exit 1
    fi
fi
exports=$(scripts/engines.sh --env)
eval "$exports"
.venv/bin/python -m pytest -q tests/engines "$@"
