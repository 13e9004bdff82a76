#!/usr/bin/env bash
# Prepare a fresh machine: system packages, a .venv with Python 3.13 (or the
# newest Python present), the Python build and test tools, and quelt itself.
# Safe to run again: it installs only what is missing and rebuilds quelt.
set -euo pipefail
cd "$(dirname "$0")/.."

# --- system packages --------------------------------------------------------
# apt-get installs the missing ones; without it the script says what to
# install and stops.
"$BASH" scripts/system_packages.sh

# --- Python -----------------------------------------------------------------
find_python() {
  local c
  for c in "$HOME"/.pyenv/versions/3.13*/bin/python3.13; do
    [ -x "$c" ] && { echo "$c"; return; }
  done
  command -v python3.13 2>/dev/null && return
  for v in 3.14 3.12 3.11 3.10; do
    command -v "python$v" 2>/dev/null && return
  done
  command -v python3
}

if [ ! -x .venv/bin/python ]; then
  py=$(find_python)
  echo "setup: creating .venv with $py"
  "$py" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "numpy>=2" pytest "scikit-build-core>=0.10" cmake ninja matplotlib scipy

# --- quelt ------------------------------------------------------------------
echo "setup: building and installing quelt"
PATH="$PWD/.venv/bin:$PATH" .venv/bin/python -m pip install -q --disable-pip-version-check \
  --no-build-isolation .
echo "setup: done"
