#!/usr/bin/env bash
# fuzz/run-python.sh [libFuzzer flags...]: runs fuzz/fuzz_python.py under
# atheris on CPython 3.11, with the module built by clang under
# AddressSanitizer and UndefinedBehaviorSanitizer in its own environment
# (.venv/fuzz-3.11, build/fuzz-py-*) and carrying libFuzzer's coverage hooks, so
# that mutation is guided by the C++ code reached. The interpreter is not instrumented, so
# atheris's own sanitizer runtime (which carries libFuzzer) is preloaded;
# CPython frees little at exit, so leak reports are off. Example:
#   fuzz/run-python.sh -max_total_time=600 -print_final_stats=1
# Exits 77 when the environment cannot be set up (no CPython 3.11, no atheris
# for it), so that a caller can tell that from a finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
venv=.venv/fuzz-3.11
log() { echo "[fuzz-python] $*" >&2; }
quiet_pip() { "$@" 2>&1 | { grep -v "^WARNING: Location '.*' is ignored" || true; } >&2; }
if [ ! -x "$venv/bin/python" ]; then
  py="$(pyenv root 2>/dev/null)/versions/$(pyenv latest 3.11 2>/dev/null)/bin/python3.11"
  [ -x "$py" ] || py=$(command -v python3.11) || { log "no CPython 3.11"; exit 77; }
  log "creating $venv from $py"
  "$py" -m venv "$venv" || exit 77
  quiet_pip "$venv/bin/python" -m pip install -q --upgrade pip || exit 77
fi
"$venv/bin/python" -c "import atheris" 2>/dev/null || quiet_pip "$venv/bin/python" -m pip install -q atheris || exit 77
if [ -z "${CORVANE_FUZZ_NO_BUILD:-}" ]; then
  log "building the module (clang, sanitizers)"
  CC=clang CXX=clang++ CXXFLAGS=-fsanitize=fuzzer-no-link CORVANE_SANITIZE=ON CORVANE_WERROR=OFF quiet_pip "$venv/bin/python" -m pip install -q --no-deps \
    --force-reinstall . -C "build-dir=build/fuzz-py-{wheel_tag}"
fi
mkdir -p build/fuzz-py
shim=build/fuzz-py/ubsan_function_shim.so
[ "$shim" -nt fuzz/ubsan_function_shim.c ] || clang -shared -fPIC -O1 -o "$shim" fuzz/ubsan_function_shim.c
runtime="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
LD_PRELOAD="$runtime:$root/$shim" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  exec "$venv/bin/python" fuzz/fuzz_python.py "$@"
