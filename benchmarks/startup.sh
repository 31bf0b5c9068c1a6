#!/usr/bin/env bash
# Start-up cost of linking zu: times startup_zu (a program that only makes a
# zu::String) against startup_plain (the same on std::string) as whole
# processes, in pairs (A B A B ...), so a drift of the machine's speed hits
# both sides alike. Prints each side's median wall time and the median of
# the per-pair ratios. Goal: a ratio within 1.3.
#
#   benchmarks/startup.sh [BUILD_DIR] [PAIRS]
set -euo pipefail

build=${1:-build}
pairs=${2:-41}
zu_program="$build/benchmarks/startup_zu"
plain_program="$build/benchmarks/startup_plain"
for p in "$zu_program" "$plain_program"; do
  [ -x "$p" ] || { echo "startup.sh: $p is missing; build the startup_zu and startup_plain targets" >&2; exit 2; }
done

# Wall time of one run in microseconds, read from bash's own clock
# (EPOCHREALTIME) so that no timing process is counted.
run_us() {
  local start end
  start=${EPOCHREALTIME/[.,]/}
  "$1" >/dev/null
  end=${EPOCHREALTIME/[.,]/}
  echo $((end - start))
}

# Warm-up: the page cache and the dynamic linker's cache.
for _ in 1 2 3; do run_us "$zu_program" >/dev/null; run_us "$plain_program" >/dev/null; done

zu_times=() plain_times=() ratios=()
for ((i = 0; i < pairs; i++)); do
  a=$(run_us "$zu_program")
  b=$(run_us "$plain_program")
  zu_times+=("$a") plain_times+=("$b")
  ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.4f", a / b }')")
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
zu_ms=$(awk -v n="$(median "${zu_times[@]}")" 'BEGIN { printf "%.2f", n / 1e3 }')
plain_ms=$(awk -v n="$(median "${plain_times[@]}")" 'BEGIN { printf "%.2f", n / 1e3 }')
echo "pairs:            $pairs"
echo "startup_zu:       $zu_ms ms (median wall)"
echo "startup_plain:    $plain_ms ms (median wall)"
echo "ratio zu/plain:   $(median "${ratios[@]}") (median of pairs; goal <= 1.3)"
echo "load:             $(cut -d' ' -f1-3 /proc/loadavg)"
