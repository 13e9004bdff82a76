#!/usr/bin/env bash
# Prepare a fresh machine: system packages, a .venv with Python 3.13 (or the
# newest Python present), the Python build and test tools, and quelt itself.
# Safe to run again: it installs only what is missing and rebuilds quelt.
set -euo pipefail
cd "$(dirname "$0")/.."

# --- system packages --------------------------------------------------------
pkgs=(g++ pkg-config libopenblas-dev libgtest-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

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
