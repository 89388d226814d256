#!/usr/bin/env bash
# The conversation cache on the real engine (benchmarks/conversations.py
# prints the table and the ratios). Sets everything up like the other
# commands and builds the engines with scripts/engines.sh when they are not
# cached yet; arguments go to conversations.py.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python benchmarks/conversations.py "$@"
