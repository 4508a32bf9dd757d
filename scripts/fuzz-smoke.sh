#!/usr/bin/env bash
# scripts/fuzz-smoke.sh: a short, bounded run of every fuzz target, so that a
# regression shows in every test run. The saved inputs of fuzz/corpus/ are
# replayed by ctest (g++, no libFuzzer) with the core tests; here each core
# target then runs under libFuzzer for a few seconds, and the Python-surface
# fuzzer for a few thousand inputs, both needing clang (installed with apt
# when missing and we are root; without it that part is skipped, not
# failed). New inputs go to a temporary folder, never into fuzz/corpus/.
# FUZZ_SMOKE_SECONDS sets each core target's time (default 5).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
secs=${FUZZ_SMOKE_SECONDS:-5}
failed=()

echo "--- fuzz replays (ctest)"
if { [ -f build/core/CMakeCache.txt ] || cmake --preset core >/dev/null; } && cmake --build build/core -j2 >/dev/null; then
  ctest --test-dir build/core -R '^fuzz_replay_' --output-on-failure || failed+=(replay)
else
  failed+=(replay-build)
fi

if ! command -v clang++ >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "[fuzz] installing clang with apt" >&2
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq clang; } >/dev/null 2>&1
fi
if ! command -v clang++ >/dev/null; then
  echo "--- libFuzzer smoke skipped: no clang++ (apt-get install clang)"
else
  echo "--- libFuzzer smoke (${secs}s a target)"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  if cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
       -DCORVANE_FUZZ=ON >/dev/null && cmake --build build/fuzz -j2 >/dev/null; then
    for t in unfilter roundtrip bmp_rows sizes inflate png deflate; do
      mkdir -p "$work/$t"
      if UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "build/fuzz/fuzz/fuzz_$t" -max_total_time="$secs" \
           -runs=1000000 -artifact_prefix="$work/$t-" "$work/$t" "fuzz/corpus/$t" >"$work/$t.log" 2>&1; then
        echo "fuzz_$t: $(grep -E '^#[0-9]+' "$work/$t.log" | tail -1)"
      else
        tail -n 40 "$work/$t.log"
        mkdir -p build/fuzz-artifacts && cp "$work/$t"-* build/fuzz-artifacts/ 2>/dev/null
        echo "fuzz_$t FAILED (input kept in build/fuzz-artifacts/)"
        failed+=("fuzz_$t")
      fi
    done
  else
    failed+=(fuzz-build)
  fi
  if [ "${FUZZ_SMOKE_PYTHON:-1}" = 1 ]; then
    mkdir -p "$work/py"
    fuzz/run-python.sh -runs=3000 -max_total_time=15 "$work/py" >"$work/py.log" 2>&1
    rc=$?
    if [ $rc = 0 ]; then
      echo "fuzz_python: $(grep -E '^#[0-9]+' "$work/py.log" | tail -1)"
    elif [ $rc = 77 ]; then
      tail -n 5 "$work/py.log"
      echo "--- Python fuzz smoke skipped: its environment could not be set up"
    else
      tail -n 40 "$work/py.log"
      echo "fuzz_python FAILED"
      failed+=(fuzz_python)
    fi
  fi
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz smoke FAILED: ${failed[*]}"
  exit 1
fi
echo "fuzz smoke passed"
