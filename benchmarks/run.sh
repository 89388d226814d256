#!/usr/bin/env bash
# The benchmark of the hot paths (benchmarks/run.py prints the table and the
# ratios). Sets everything up like the other commands (scripts/setup.sh: the
# .venv, the packages and the build), then runs it; arguments go to run.py.
# KIV_VENV=/path/to/venv builds into and runs from that environment instead.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${KIV_VENV:-}" ]; then
    source scripts/lib.sh
    kiv_build_package "$KIV_VENV" release build/bench
    PY="$KIV_VENV/bin/python"
else
    scripts/setup.sh
    PY=.venv/bin/python
fi
exec "$PY" benchmarks/run.py "$@"
