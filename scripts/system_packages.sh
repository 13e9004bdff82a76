#!/usr/bin/env bash
# The system packages that building and testing quelt needs: installs the
# missing ones with apt-get, or, where there is no apt-get (or no dpkg to tell
# what is installed), says what to install and exits with status 1.
set -euo pipefail

pkgs=(g++ pkg-config libopenblas-dev libgtest-dev)

cannot_install() {
  printf '%s\n' >&2 \
    "setup: $1" \
    "Install these with the system's package manager, then install quelt with pip:" \
    "  - a C++20 compiler (g++ or clang++)" \
    "  - pkg-config" \
    "  - OpenBLAS, with its pkg-config file ('pkg-config --exists openblas' must succeed)" \
    "  - GoogleTest, for the C++ tests only" \
    "CMake and Ninja come from pip:" \
    "  python3 -m venv .venv" \
    "  .venv/bin/python -m pip install 'numpy>=2' pytest scipy 'scikit-build-core>=0.10' cmake ninja" \
    "  .venv/bin/python -m pip install --no-build-isolation ."
  exit 1
}

if ! command -v dpkg >/dev/null 2>&1; then
  cannot_install "no dpkg here to tell which system packages are installed"
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if ! command -v apt-get >/dev/null 2>&1; then
  cannot_install "${missing[*]} missing, and no apt-get to install them"
fi
echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
