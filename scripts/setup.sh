#!/usr/bin/env bash
# Prepares a machine: Debian packages, a CPython 3.13 virtual environment in
# .venv and the Python tools. Idempotent.
#   scripts/setup.sh demo   what building and running needs (make demo)
#   scripts/setup.sh test   that, and the test toolchain (make test)
set -euo pipefail
cd "$(dirname "$0")/.."
purpose=${1:-test}

need_apt=()
need() { dpkg -s "$1" >/dev/null 2>&1 || need_apt+=("$1"); }
need libboost-dev
need zlib1g-dev
if [ "$purpose" = test ]; then
  need libgtest-dev
  need clang                  # and its runtime, for the fuzz targets (libFuzzer)
  need libclang-rt-14-dev
  need clang-format
  need chromium-headless-shell  # the report is tested in a real browser
fi
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
requirements=requirements-build.txt
[ "$purpose" = test ] && requirements=requirements-dev.txt
stamp=.venv/.installed-$purpose
if [ ! -f "$stamp" ] || [ "$requirements" -nt "$stamp" ] || [ requirements-build.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r "$requirements"
  touch "$stamp"
fi
