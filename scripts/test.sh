#!/usr/bin/env bash
# Check that includes flow one way through src/, build and run the C++ tests
# (ctest), then rebuild the package and run the Python tests (pytest). With
# --asan the C++ tests run under the address and undefined-behaviour
# sanitizers (the Python tests are skipped then).
set -euo pipefail
cd "$(dirname "$0")/.."

asan=OFF
for a in "$@"; do
  case "$a" in
    --asan) asan=ON ;;
    *) echo "usage: scripts/test.sh [--asan]" >&2; exit 2 ;;
  esac
done

if [ ! -x .venv/bin/python ]; then
  echo "test: no .venv; run ./scripts/setup.sh first" >&2
  exit 1
fi
./scripts/check_includes.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)
# Small test problems: BLAS worker threads only add contention under ctest -j.
export OPENBLAS_NUM_THREADS=1

builddir=build/cpp
[ "$asan" = ON ] && builddir=build/asan
cmake -S . -B "$builddir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUELT_BUILD_PYTHON=OFF -DQUELT_BUILD_TESTS=ON -DQUELT_ASAN="$asan" >/dev/null
cmake --build "$builddir" -j "$jobs"
ctest --test-dir "$builddir" --output-on-failure -j "$jobs"

if [ "$asan" = ON ]; then
  exit 0
fi

.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .
unset OPENBLAS_NUM_THREADS
.venv/bin/python -m pytest -q tests/python
