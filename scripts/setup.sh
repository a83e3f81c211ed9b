#!/usr/bin/env bash
# Prepares a machine for building and testing: Debian packages, a CPython
# 3.13 virtual environment in .venv and the Python tools. Idempotent.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
dpkg -s libboost-dev >/dev/null 2>&1 || need_apt+=(libboost-dev)
dpkg -s zlib1g-dev >/dev/null 2>&1 || need_apt+=(zlib1g-dev)
dpkg -s libgtest-dev >/dev/null 2>&1 || need_apt+=(libgtest-dev)
# clang and its runtime for the fuzz targets (libFuzzer)
command -v clang++ >/dev/null 2>&1 || need_apt+=(clang)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need_apt+=(libclang-rt-14-dev)
if ((${#need_apt[@]})); then
  echo "setup: installing ${need_apt[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

find_python() {
  if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1; then
    command -v python3.13; return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    local p
    if p=$(PYENV_VERSION=3.13.0 pyenv which python3 2>/dev/null) && "$p" -c 'import sys' >/dev/null 2>&1; then
      echo "$p"; return
    fi
  fi
  if command -v python3 >/dev/null 2>&1 && python3 -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
    echo "setup: warning: CPython 3.13 not found, using $(python3 --version)" >&2
    command -v python3; return
  fi
  echo "setup: no usable Python (3.13 wanted, 3.11 at least)" >&2
  exit 1
}

if [ ! -x .venv/bin/python ]; then
  py=$(find_python)
  echo "setup: creating .venv with $("$py" --version)"
  "$py" -m venv .venv
fi
stamp=.venv/.tools-installed
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  touch "$stamp"
fi
