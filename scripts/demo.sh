#!/usr/bin/env bash
# The main job on any Linux machine, from a fresh clone: sets everything up
# (scripts/setup.sh), builds the reference runtimes into build/reference,
# deploys them into a throwaway copy of the installed package and runs
# examples/demo.py against that copy.
#
# The reference runtimes are never placed next to the modules in .venv: the
# demo imports the package from the temporary copy (first on PYTHONPATH),
# which is removed when the demo ends. Arguments go to examples/demo.py.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

step() { printf '\n== %s\n' "$*"; }

step "Building the reference runtimes (reference_runtimes/ -> build/reference)"
if ! command -v cmake >/dev/null 2>&1; then
    echo "cmake is needed to build the reference runtimes" >&2
    exit 1
fi
mkdir -p build
if ! cmake -S reference_runtimes -B build/reference -DCMAKE_BUILD_TYPE=Release >build/reference-configure.log 2>&1; then
    cat build/reference-configure.log >&2
    echo "The reference runtimes need nlohmann/json and libsndfile: scripts/setup.sh installs them when" >&2
    echo "run as root; otherwise: sudo apt-get install nlohmann-json3-dev libsndfile1-dev" >&2
    exit 1
fi
echo "  (compiling: about half a minute the first time, seconds after)"
cmake --build build/reference -j2 >/dev/null

step "Deploying them into a throwaway copy of the installed package"
installed=$(.venv/bin/python -I -c 'import pathlib, tessel_openai_server as p; print(pathlib.Path(p.__file__).parent)')
work=$(mktemp -d "${TMPDIR:-/tmp}/kiv-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/site"
cp -R "$installed" "$work/site/"
pkg="$work/site/tessel_openai_server/kiv_velkor"
for runtime in velkor quellan; do
    .venv/bin/python -m tessel_openai_server.kiv_velkor install-runtime "$runtime" \
        "build/reference/lib$runtime.so" --package-dir "$pkg" --force
done
# The speech module would load $KIV_QUELLAN_PATH instead of the deployed library.
unset KIV_QUELLAN_PATH
PYTHONPATH="$work/site" .venv/bin/python -m tessel_openai_server.kiv_velkor status

step "Running examples/demo.py"
PYTHONPATH="$work/site" .venv/bin/python examples/demo.py --workdir "$work/files" "$@"
