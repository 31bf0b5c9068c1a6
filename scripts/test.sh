#!/usr/bin/env bash
# The one test command: dependencies, release build and tests (the soak of
# the HTTP server included, on its own after the rest), then every test but
# the soak and the fresh-clone ones under AddressSanitizer +
# UndefinedBehaviorSanitizer, then under ThreadSanitizer, then the fuzz
# targets, then the Windows builds (64-bit tested under Wine). Prints how
# long each stage took. Exits non-zero when anything
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

bash scripts/deps.sh --test

jobs=$(nproc 2>/dev/null || echo 2)
export CTEST_OUTPUT_ON_FAILURE=1
# Labels the sanitizer stages leave out: the soak measures bounds of time
# and memory that only hold for the release build, and the fresh-clone
# tests build a whole tree of their own.
release_only='soak|fresh-clone'

timings=()
stage() { # name command...
  local name=$1 start=$SECONDS
  shift
  echo "==> $name"
  "$@"
  timings+=("$(printf '%-10s %4d s' "$name" $((SECONDS - start)))")
}

build() { # dir sanitize
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZU_SANITIZE="$2" \
    -DZU_BUILD_BENCHMARKS=$([ -z "$2" ] && echo ON || echo OFF) >/dev/null
  cmake --build "$1" -j "$jobs"
}

run_tests() { # dir ctest args...
  local dir=$1
  shift
  (cd "$dir" && ctest -j "$jobs" --timeout 300 "$@")
}

release() {
  build build ""
  run_tests build -LE soak
  # Alone, so that the other tests' load does not count against its bounds.
  (cd build && ctest -L soak --timeout 900)
}

address() {
  build build-asan address
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_tests build-asan -LE "$release_only"
}

thread() {
  build build-tsan thread
  # tests/tsan.supp names the races inside outside libraries that are not
  # instrumented; a race in zu's own code is never suppressed.
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$top/tests/tsan.supp" \
    run_tests build-tsan -LE "$release_only"
}

# Every fuzz target for 10 seconds on its corpus (clang build in build-fuzz).
fuzz() { bash scripts/fuzz.sh 10; }

# The same tree for Windows: 64-bit built and tested under wine64, 32-bit
# built only where 32-bit programs cannot run.
windows() {
  bash scripts/windows_stage.sh
  bash scripts/windows_stage.sh --triple i686-w64-mingw32
}

stage release release
# The Debian packages (built from the release build, checked by lintian and
# used by a consumer in a temporary root) and the API reference.
stage package bash scripts/package_test.sh build
stage docs bash scripts/docs.sh build
stage asan address
stage tsan thread
stage fuzz fuzz
stage windows windows
printf '%s\n' "${timings[@]}"
