#!/usr/bin/env bash
# The one test command: dependencies, release build and tests, then the same
# tests under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# concurrent tests under ThreadSanitizer. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh --test

jobs=$(nproc 2>/dev/null || echo 2)
export CTEST_OUTPUT_ON_FAILURE=1

build() { # dir sanitize [ctest args...]
  local dir=$1 san=$2; shift 2
  echo "==> $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZU_SANITIZE="$san" \
    -DZU_BUILD_BENCHMARKS=$([ -z "$san" ] && echo ON || echo OFF) >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest -j "$jobs" --timeout 300 -LE soak "$@")
}

build build ""
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  build build-asan address
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  build build-tsan thread -L concurrent
# Every fuzz target for 10 seconds on its corpus (clang build in build-fuzz).
bash scripts/fuzz.sh 10
