#!/usr/bin/env bash
# fuzz/run-long.sh [SECONDS] [TARGET...]: builds the libFuzzer targets (clang,
# build/fuzz) and runs each in turn, one process at a time, for SECONDS
# (default 60) each. Working corpora grow in build/fuzz-corpus/<target>,
# seeded from fuzz/corpus/<target>; a crashing input is written to
# build/fuzz-artifacts/<target>/: copy it to fuzz/corpus/<target>/crash-<name>
# once fixed, so that ctest replays it. Each run's last status line (inputs,
# cov:, ft:) is printed and kept in build/fuzz-artifacts/<target>.log.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
secs=${1:-60}; shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(unfilter roundtrip bmp_rows sizes inflate png deflate)
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_FUZZ=ON >/dev/null && cmake --build build/fuzz -j2 >/dev/null || exit 1
failed=()
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz-corpus/$t" "build/fuzz-artifacts/$t"
  log="build/fuzz-artifacts/$t.log"
  start=$(date +%s)
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "build/fuzz/fuzz/fuzz_$t" -max_total_time="$secs" \
    -print_final_stats=1 -artifact_prefix="build/fuzz-artifacts/$t/" \
    "build/fuzz-corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1 || failed+=("$t")
  echo "== $t ($(( $(date +%s) - start ))s): $(grep -E '^#[0-9]+' "$log" | tail -1)"
  grep -E 'stat::number_of_executed_units|FUZZ_CHECK|ERROR:|SUMMARY' "$log"
done
if [ ${#failed[@]} -gt 0 ]; then echo "fuzz FAILED: ${failed[*]} (inputs in build/fuzz-artifacts/)"; exit 1; fi
