#!/usr/bin/env bash
# The real-engine benchmark (benchmarks/engines.py prints the table and the
# ratios). Sets everything up like the other commands (scripts/setup.sh), and
# builds the engines with scripts/engines.sh when they are not cached yet;
# arguments go to engines.py (--peer also builds llama-cpp-python once).
# With --speech-input first: the speech upload benchmark (speech_input.py)
# instead, the other arguments going to it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ "${1:-}" = "--speech-input" ]; then
    shift
    exec .venv/bin/python benchmarks/speech_input.py "$@"
fi
exec .venv/bin/python benchmarks/engines.py "$@"
