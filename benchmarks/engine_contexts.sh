#!/usr/bin/env bash
# Several contexts of the real engine in one process (benchmarks/engine_contexts.py
# prints the figures). Sets everything up like the other commands and builds
# the engines with scripts/engines.sh when they are not cached yet; arguments
# go to engine_contexts.py.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python benchmarks/engine_contexts.py "$@"
