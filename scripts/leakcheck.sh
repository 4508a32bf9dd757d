#!/usr/bin/env bash
# scripts/leakcheck.sh: native memory and reference leaks of the module on
# CPython 3.11, success and error paths alike (the workload is
# scripts/leakcheck.py). Two checkers, both with PYTHONMALLOC=malloc so that
# every Python object is a block of its own:
#   LeakSanitizer, on the sanitizer build (.venv/asan-3.11), LEAK_ROUNDS rounds;
#   valgrind, on the plain build as installed in .venv/3.11, VALGRIND_ROUNDS
#   rounds (0 skips it; so does a machine without valgrind).
# CPython leaves memory behind at exit, so only records the module can be
# blamed for count (see leakcheck.py). A kept reference to an object the cycle
# collector tracks (its lists keep it reachable), or to one that lives on
# anyway, is invisible to both; the workload counts those itself. Exits 1 on
# any finding; the logs
# stay in build/leakcheck/. ASAN_MODULE or PLAIN_MODULE name a folder holding a
# Corvane package built elsewhere (a scratch build with a deliberate leak, to
# see the check fail), put first on the path for that checker; with
# ASAN_MODULE the sanitizer build is not remade.
set -euo pipefail
shopt -s nullglob
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
LEAK_ROUNDS=${LEAK_ROUNDS:-300}
VALGRIND_ROUNDS=${VALGRIND_ROUNDS:-30}
out=build/leakcheck
rm -rf "$out" && mkdir -p "$out"
failed=()
verdict() {  # the workload's exit status: 3 when its own counts grew, 23 when the sanitizer reported
  case $2 in 0|23) ;; 3) failed+=("$1: object or reference counts grew") ;; *) failed+=("$1: workload failed (exit $2)") ;; esac
}

if [ -n "${ASAN_MODULE:-}" ]; then py=.venv/asan-3.11/bin/python
else  # unstripped, so that the stacks name the module's functions
  py=$(CORVANE_VENV=asan-3.11 CORVANE_SANITIZE=ON scripts/host.sh 3.11 -C "build-dir=build/asan-{wheel_tag}" \
       -C install.strip=false)
fi
echo "=== LeakSanitizer, $LEAK_ROUNDS rounds"
# The interpreter is built without frame pointers, so the fast unwinder drops
# the module's frame that called into it (a leak in read_chunk showed up under
# load_png); the slow one, three times slower here, names it.
start=$SECONDS
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" PYTHONMALLOC=malloc \
ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=30:exitcode=23:log_path="$root/$out/lsan" \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=${ASAN_MODULE:-} \
  "$py" scripts/leakcheck.py run "$LEAK_ROUNDS" && rc=0 || rc=$?
echo "($((SECONDS - start)) s)"
verdict lsan "$rc"
# Without leaks LeakSanitizer writes no log; any other error of the
# sanitizers lands in the same files and fails the run too.
logs=("$out"/lsan.*)
if [ ${#logs[@]} -gt 0 ] && grep -q -E "ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error:" "${logs[@]}"; then
  cat "${logs[@]}"
  failed+=("sanitizer error")
fi
python3 scripts/leakcheck.py report lsan "$LEAK_ROUNDS" "${logs[@]}" || failed+=(lsan)

if [ "$VALGRIND_ROUNDS" != 0 ] && command -v valgrind >/dev/null; then
  plain="$root/.venv/3.11/bin/python"
  [ -x "$plain" ] || plain=$(scripts/host.sh 3.11)
  export PYTHONPATH=${PLAIN_MODULE:-}
  so=$("$plain" -c 'import Corvane.simpleImage_ext as m; print(m.__file__)')
  if [ -n "$(find module image png bmp loadsave -newer "$so" -name '*.[ch]pp' | head -1)" ]; then
    echo "note: $so is older than the sources; make demo rebuilds it"
  fi
  echo "=== valgrind, $VALGRIND_ROUNDS rounds"
  start=$SECONDS
  PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=none \
    --num-callers=40 --log-file="$out/valgrind.log" "$plain" scripts/leakcheck.py run "$VALGRIND_ROUNDS" && rc=0 || rc=$?
  echo "($((SECONDS - start)) s)"
  verdict valgrind "$rc"
  python3 scripts/leakcheck.py report valgrind "$VALGRIND_ROUNDS" "$out/valgrind.log" || failed+=(valgrind)
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "leakcheck FAILED: ${failed[*]}"
  exit 1
fi
echo "leakcheck passed"
