#!/usr/bin/env bash
# Several models in one serve on the real engine (benchmarks/models.py prints
# the table). Sets everything up like the other commands and builds the
# engines with scripts/engines.sh when they are not cached yet; arguments go
# to models.py.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python benchmarks/models.py "$@"
