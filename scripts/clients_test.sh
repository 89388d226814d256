#!/usr/bin/env bash
# The client-library stage of test.sh: the libraries application developers
# use (langchain-openai, litellm, the OpenAI Agents SDK, instructor, and the
# official client's helpers), pinned in scripts/clients_requirements.txt and
# installed into an environment of their own (.venv-clients; pip keeps the
# downloads in its cache), drive `serve` on the real engine (engines.sh builds
# it or finds it cached) through tests/clients. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

[ -x .venv/bin/python ] || scripts/setup.sh
venv=.venv-clients
stamp="$venv/.installed-$(sha256sum scripts/clients_requirements.txt | cut -c1-16)"
if [ ! -f "$stamp" ]; then
    echo "clients: installing the pinned client libraries into $venv (a minute or two the first time)" >&2
    rm -rf "$venv"
    "$(kiv_find_python)" -m venv "$venv"
    kiv_quiet "$venv/bin/python" -m pip install -q --disable-pip-version-check -r scripts/clients_requirements.txt
    touch "$stamp"
fi
exports=$(scripts/engines.sh --env)
eval "$exports"
export KIV_SERVER_PYTHON="$PWD/.venv/bin/python"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/clients "$@"
