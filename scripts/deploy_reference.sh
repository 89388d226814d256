#!/usr/bin/env bash
# Keeps the reference runtimes deployed for one's own work, in a virtual
# environment of their own (.venv-reference, or $KIV_VENV): builds the
# package into it, builds the reference runtimes (reference_runtimes/ ->
# build/reference) and places them next to its modules. After it, that
# environment works as a device would:
#
#   .venv-reference/bin/python -m tessel_openai_server.kiv_velkor status
#   .venv-reference/bin/python -m tessel_openai_server.kiv_velkor serve --model reference_runtimes/example_model.json
#
# .venv stays without runtimes (the tests and the demo expect that). Run the
# script again after changing the modules.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
venv=${KIV_VENV:-.venv-reference}

echo "deploy_reference: $venv with the Python packages and the modules (a minute or two the first time)" >&2
kiv_make_venv "$venv"
kiv_build_package "$venv" release build/reference-venv

echo "deploy_reference: building the reference runtimes into build/reference (half a minute the first time)" >&2
kiv_build_reference_runtimes reference
for runtime in velkor quellan; do
    "$venv/bin/python" -m tessel_openai_server.kiv_velkor install-runtime "$runtime" \
        "build/reference/lib$runtime.so" --force
done
"$venv/bin/python" -m tessel_openai_server.kiv_velkor status
echo "deploy_reference: ready: $venv/bin/python -m tessel_openai_server.kiv_velkor serve --model reference_runtimes/example_model.json" >&2
