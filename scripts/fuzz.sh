#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz) and runs each for the given
# number of seconds, starting from its seed corpus in fuzz/corpus/<target>
# and its dictionary in fuzz/dict/<target>.dict. Prints executions and
# coverage per target. Inputs that crash, leak or hang are kept in
# build-fuzz/crashes/; the exit status is non-zero when there is any.
#
#   scripts/fuzz.sh [seconds] [target...]     (default: 60 seconds, all)
#
# New inputs the fuzzer finds collect in build-fuzz/corpus/<target>, so a
# later run goes on from there; the seeds in the tree are never changed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
dir=build-fuzz

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DZU_FUZZ=ON \
  -DZU_BUILD_TESTS=OFF -DZU_BUILD_BENCHMARKS=OFF -DZU_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in fuzz/*_fuzz.cpp; do
    t=$(basename "$f" _fuzz.cpp)
    targets+=("$t")
  done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
mkdir -p "$dir/crashes" "$dir/logs"
failed=()
printf '%-12s %10s %8s %7s %7s %7s  %s\n' target executions exec/s cov ft corpus result
for t in "${targets[@]}"; do
  corpus="$dir/corpus/$t"
  mkdir -p "$corpus"
  log="$dir/logs/$t.log"
  # A single allocation of more than 512 MB from an input of a few kB is a
  # fault in itself (a length believed before the bytes came).
  args=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1
        -artifact_prefix="$dir/crashes/$t-")
  [ -f "fuzz/dict/$t.dict" ] && args+=(-dict="fuzz/dict/$t.dict")
  result=ok
  # A run that has not ended a minute after its time is a hang of the
  # target's own machinery; it is stopped and counted as a failure.
  if ! timeout --kill-after=10 $((seconds + 60)) "$dir/fuzz/fuzz_$t" "${args[@]}" "$corpus" "fuzz/corpus/$t" \
       >"$log" 2>&1; then
    result="FAILED (see $log)"
    failed+=("$t")
  fi
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  [ -n "$done_line" ] || done_line=$(grep -E '^#[0-9]+[[:space:]]' "$log" | tail -1 || true)
  execs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$done_line")
  rate=$(sed -nE 's/.*exec\/s: ([0-9]+).*/\1/p' <<<"$done_line")
  cov=$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$done_line")
  size=$(sed -nE 's/.*corp: ([0-9]+)\/.*/\1/p' <<<"$done_line")
  printf '%-12s %10s %8s %7s %7s %7s  %s\n' "$t" "${execs:--}" "${rate:--}" "${cov:--}" "${ft:--}" "${size:--}" "$result"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failures in ${failed[*]}; inputs kept in $dir/crashes/" >&2
  exit 1
fi
