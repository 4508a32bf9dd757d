#!/usr/bin/env bash
# scripts/asan.sh: the core tests and the Python tests (CPython 3.11) with the
# module built under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# core tests again under ThreadSanitizer (the compressors' threads).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset asan >/dev/null && cmake --build build/asan -j2 >/dev/null
ctest --test-dir build/asan --output-on-failure
cmake --preset tsan >/dev/null && cmake --build build/tsan -j2 >/dev/null
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure
py=$(CORVANE_VENV=asan-3.11 CORVANE_SANITIZE=ON scripts/host.sh 3.11 -C "build-dir=build/asan-{wheel_tag}")
# The interpreter is not instrumented, so the runtime must be loaded first;
# CPython frees little at exit, so leak reports are about it, not us.
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$py" -m pytest -q -p no:cacheprovider tests/python
