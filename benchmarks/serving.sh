#!/usr/bin/env bash
# The serving layer's benchmark (benchmarks/serving.py prints the table and
# the ratios). Sets everything up like the other commands (scripts/setup.sh),
# then runs it; arguments go to serving.py.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python benchmarks/serving.py "$@"
