#!/usr/bin/env bash
# Installs what a fresh machine lacks: Debian packages, a CPython 3.12 virtual
# environment in .venv, and the Python packages the build and tests need.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
for pkg in g++; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
# The fuzzers alone use PCRE2, as the reference they compare the core with.
if [ "${TOVIK_FUZZ:-0}" = 1 ]; then
    for pkg in clang libclang-rt-14-dev libpcre2-dev; do
        dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
    done
fi
if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

find_python() {
    if command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import sys' >/dev/null 2>&1; then
        echo "python3.12"
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local v
        v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -V | tail -n 1)
        if [ -n "$v" ]; then
            echo "env PYENV_VERSION=$v python3"
            return
        fi
    fi
    echo "no CPython 3.12 found (python3.12 or pyenv 3.12)" >&2
    exit 1
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    rm -rf .venv
    $(find_python) -m venv .venv
fi
stamp=.venv/.tovik-deps
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q -r requirements-dev.txt
    touch "$stamp"
fi
