#!/usr/bin/env bash
# Builds the manual (docs/, mkdocs.yml) with MkDocs and the Material theme,
# pinned in docs/requirements.txt and installed into .venv-docs, strictly: a
# broken link or anchor, or a page missing from the nav, fails. The site goes
# to build/site. Arguments go to `mkdocs build`.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

venv=.venv-docs
kiv_pinned_venv "$venv" docs/requirements.txt \
    "docs: installing MkDocs and its theme into $venv (seconds with pip's cache, a minute without)"
# Its INFO lines are left out; the warnings that strict mode fails on are shown.
status=0
out=$(NO_MKDOCS_2_WARNING=1 "$venv/bin/mkdocs" build --strict "$@" 2>&1) || status=$?
grep -v '^INFO' <<<"$out" >&2 || true
if [ "$status" -ne 0 ]; then
    echo "docs: mkdocs build --strict failed" >&2
    exit "$status"
fi
echo "docs: built without warnings into build/site" >&2
