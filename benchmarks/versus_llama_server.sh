#!/usr/bin/env bash
# serve on the real engine against llama.cpp's own server on the same engine
# (benchmarks/versus_llama_server.py prints the table). Sets everything up
# like the other commands, builds the engines with scripts/engines.sh and
# llama-server with benchmarks/llama_server.sh when they are not cached yet
# (minutes, once each); arguments go to versus_llama_server.py.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
llama_server=$(benchmarks/llama_server.sh)
exec .venv/bin/python benchmarks/versus_llama_server.py --llama-server "$llama_server" "$@"
