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
kiv_build_package "$venv" build/reference-venv "" Release

echo "deploy_reference: building the reference runtimes into build/reference (half a minute the first time)" >&2
mkdir -p build
if ! cmake -S reference_runtimes -B build/reference -DCMAKE_BUILD_TYPE=Release >build/reference-configure.log 2>&1; then
    cat build/reference-configure.log >&2
    echo "The reference runtimes need nlohmann/json and libsndfile: scripts/setup.sh installs them when" >&2
    echo "run as root; otherwise: sudo apt-get install nlohmann-json3-dev libsndfile1-dev" >&2
    exit 1
fi
cmake --build build/reference -j2 >/dev/null
for runtime in velkor quellan; do
    "$venv/bin/python" -m tessel_openai_server.kiv_velkor install-runtime "$runtime" \
        "build/reference/lib$runtime.so" --force
done
"$venv/bin/python" -m tessel_openai_server.kiv_velkor status
echo "deploy_reference: ready: $venv/bin/python -m tessel_openai_server.kiv_velkor serve --model reference_runtimes/example_model.json" >&2
