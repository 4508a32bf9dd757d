#!/usr/bin/env bash
# scripts/run-tests.sh [HOST...]: the C++ core tests, the fuzz smoke
# (scripts/fuzz-smoke.sh), then the Python tests on every host (by default
# CPython 3.8, 3.11, 3.13 and PyPy), then the core and Python tests of the
# build without ISA-L on one host (ZLIB_ONLY_HOST, 3.11 by default, empty to
# skip). Each host prints its own pytest summary; the run fails if any part
# fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
hosts=("$@")
[ ${#hosts[@]} -gt 0 ] || hosts=(3.8 3.11 3.13 pypy)
failed=()
# Warnings fail the build here, so a new one is seen at once, on every host.
export CORVANE_WERROR=ON

echo "=== core (C++, ctest)"
if ! command -v cmake >/dev/null || ! command -v ctest >/dev/null; then
  # The build of the extension gets CMake through pip; the core tests need it on PATH.
  python3 -m venv .venv/tools && .venv/tools/bin/python -m pip install -q cmake ninja
  export PATH="$root/.venv/tools/bin:$PATH"
fi
scripts/deps.sh
if cmake --preset core >/dev/null && cmake --build build/core -j2 >/dev/null && \
   ctest --test-dir build/core --output-on-failure; then :; else failed+=(core); fi

echo "=== fuzz smoke"
scripts/fuzz-smoke.sh || failed+=(fuzz)

for h in "${hosts[@]}"; do
  echo "=== $h"
  if py=$(scripts/host.sh "$h"); then
    CORVANE_EXPECT_INFLATER=isa-l "$py" -m pytest -q -p no:cacheprovider --rootdir "$root" tests/python || failed+=("$h")
  else
    failed+=("$h (setup)")
  fi
done

# The build without ISA-L (zlib inflates alone), on one host, so that it
# stays honest: its core tests and every Python test.
zlib_host=${ZLIB_ONLY_HOST-3.11}
if [ -n "$zlib_host" ]; then
  echo "=== $zlib_host, zlib only (CORVANE_ISAL=OFF)"
  if cmake -S . -B build/core-zlib -DCMAKE_BUILD_TYPE=Release -DCORVANE_CORE_TESTS=ON -DCORVANE_WERROR=ON \
       -DCORVANE_ISAL=OFF >/dev/null && cmake --build build/core-zlib -j2 >/dev/null && \
     ctest --test-dir build/core-zlib --output-on-failure >/dev/null && \
     py=$(CORVANE_ISAL=OFF CORVANE_VENV="$zlib_host-zlib" scripts/host.sh "$zlib_host" \
          -C "build-dir=build/zlib-{wheel_tag}"); then
    CORVANE_EXPECT_INFLATER=zlib "$py" -m pytest -q -p no:cacheprovider --rootdir "$root" tests/python || failed+=("$zlib_host-zlib")
  else
    failed+=("$zlib_host-zlib (build or core tests)")
  fi
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all hosts passed: core fuzz ${hosts[*]}${zlib_host:+ $zlib_host-zlib}"
