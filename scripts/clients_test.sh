#!/usr/bin/env bash
# The client-library stage of test.sh: the libraries application developers
# use (langchain-openai, litellm, the OpenAI Agents SDK, instructor, and the
# official client's helpers; the anthropic SDK and langchain-anthropic),
# pinned in scripts/clients_requirements.txt and installed into an environment
# of their own (.venv-clients; pip keeps the downloads in its cache), drive
# `serve` on the real engine (engines.sh builds it or finds it cached) through
# tests/clients, and so do llama.cpp's own tests of its Anthropic API, from
# the llama.cpp source engines.sh caches. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

[ -x .venv/bin/python ] || scripts/setup.sh
venv=.venv-clients
kiv_pinned_venv "$venv" scripts/clients_requirements.txt \
    "clients: installing the pinned client libraries into $venv (a minute or two the first time)"
exports=$(scripts/engines.sh --env)
eval "$exports"
export KIV_SERVER_PYTHON="$PWD/.venv/bin/python"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/clients "$@"
