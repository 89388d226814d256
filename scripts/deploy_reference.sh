#!/usr/bin/env bash
# Keeps the reference runtimes deployed for one's own work: builds them
# (reference_runtimes/ -> build/reference) and places them next to the modules
# in .venv (or in the venv given as $KIV_VENV), replacing what is there. After
# it, the package works as on a device:
#
#   .venv/bin/python -m tessel_openai_server.kiv_velkor status
#   .venv/bin/python -m tessel_openai_server.kiv_velkor serve --model reference_runtimes/example_model.json
#
# scripts/setup.sh reinstalls the package and so removes them again; run this
# once more after it. The demo never uses these (it deploys its own copy).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${KIV_VENV:-.venv}
[ -n "${KIV_VENV:-}" ] || scripts/setup.sh

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
