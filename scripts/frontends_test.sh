#!/usr/bin/env bash
# The front-end stage of test.sh: Open WebUI, the chat front-end, in front of
# `serve` on the real engine (engines.sh builds it or finds it cached), driven
# by Playwright in Debian's chromium as a user would (tests/frontends).
#
# Open WebUI needs Python 3.11 or 3.12 ($FRONTENDS_PYTHON, else python3.12 or
# python3.11 on PATH or in pyenv, else python3 when it is one of them). Its
# environment, with Playwright, is made once under ~/.cache/kiv/frontends,
# named by the hash of scripts/frontends_requirements.txt: about three minutes
# and 3 GB the first time (torch alone is 1 GB; the CPU build this machine
# kind keeps on disk is installed first, so nothing pulls a CUDA build).
# Debian's chromium is installed when missing (as root); Playwright's own
# browser download is never used. Screenshots go to build/frontends.
# Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

FRONTENDS_TORCH=torch==2.13.0
CHROMIUM=${KIV_CHROMIUM:-/usr/lib/chromium/chromium}

[ -x .venv/bin/python ] || scripts/setup.sh

# Debian's chromium, and flite for the sentence the fake microphone plays.
need_apt=()
[ -x "$CHROMIUM" ] || need_apt+=(chromium)
command -v flite >/dev/null 2>&1 || need_apt+=(flite)
if [ ${#need_apt[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "frontends: installing Debian's ${need_apt[*]} (chromium is about 100 MB, once)" >&2
        apt-get update -qq >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
    else
        echo "missing: ${need_apt[*]} (sudo apt-get install ${need_apt[*]}; KIV_CHROMIUM names another chromium)" >&2
        exit 1
    fi
fi

venv=${XDG_CACHE_HOME:-$HOME/.cache}/kiv/frontends/env-$(sha256sum scripts/frontends_requirements.txt | cut -c1-12)
if [ ! -f "$venv/.complete" ]; then
    python=$(PYTHON=${FRONTENDS_PYTHON:-} kiv_find_python 3.12 3.11)
    echo "frontends: installing Open WebUI and Playwright into $venv (about three minutes and 3 GB, once)" >&2
    rm -rf "$venv"
    "$python" -m venv "$venv"
    # pip's own lines are the progress; its notes on local index folders are not.
    # With pipefail a failing pip fails the pipe.
    pip_install() {
        "$venv/bin/python" -m pip install --disable-pip-version-check "$@" 2>&1 |
            { grep --line-buffered -v -e "is ignored: it is neither" -e "^  Downloading" -e "^  Using cached" \
                -e "^Requirement already satisfied" || true; }
    }
    pip_install "$FRONTENDS_TORCH"
    pip_install -r scripts/frontends_requirements.txt
    touch "$venv/.complete"
fi

exports=$(scripts/engines.sh --env)
eval "$exports"
export KIV_SERVER_PYTHON="$PWD/.venv/bin/python" KIV_CHROMIUM="$CHROMIUM" KIV_FRONTEND_SHOTS="$PWD/build/frontends"
echo "frontends: $("$venv/bin/python" -m pip show open-webui 2>/dev/null | sed -n 's/^Version: /Open WebUI /p'), $("$CHROMIUM" --version 2>/dev/null)" >&2
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/frontends "$@"
