#!/usr/bin/env bash
# The Windows stage of the tests: builds zu for Windows with mingw-w64 from
# this tree and runs its test suite under Wine.
#
#   scripts/windows_stage.sh [--triple TRIPLE] [--build-dir DIR] [--fresh-prefix]
#                            [-- CTEST_ARGUMENTS...]
#
# TRIPLE is x86_64-w64-mingw32 (default; build-win64, tests under wine64)
# or i686-w64-mingw32 (build-win32; built and linked, and tested only where
# 32-bit Wine runs). The outside libraries and GoogleTest come from
# scripts/cross_deps.sh's cache; the Wine prefix is kept in the same cache
# (--fresh-prefix makes a new one for this run and removes it after).
# ZU_WIN_CMAKE_ARGS adds configure arguments. Exits non-zero when the build
# or a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

triple=x86_64-w64-mingw32
dir=""
fresh=0
ctest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --triple) triple=$2; shift ;;
    --build-dir) dir=$2; shift ;;
    --fresh-prefix) fresh=1 ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "windows_stage: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
case $triple in
  x86_64-w64-mingw32) dir=${dir:-build-win64}; wine=/usr/lib/wine/wine64 ;;
  i686-w64-mingw32) dir=${dir:-build-win32}; wine=/usr/lib/wine/wine ;;
  *) echo "windows_stage: no toolchain for $triple" >&2; exit 2 ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)
cache=${ZU_CROSS_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/zu-cross}
log() { echo "windows_stage: $*" >&2; }
started=$SECONDS

# The outside libraries for this target (nothing is built when cached).
bash scripts/cross_deps.sh --triple "$triple"

# Wine runs the tests only where its loader starts at all (32-bit Wine needs
# Debian's i386 architecture and a kernel that runs 32-bit programs).
run_tests=0
if [ -x "$wine" ] && "$wine" --version >/dev/null 2>&1; then
  run_tests=1
else
  log "$wine cannot run here: $triple is built but not tested"
fi

# One prefix and one resident server for the whole run, booted before any
# test with its output away from ours: the services Wine starts for the
# first program of a session would otherwise inherit ctest's pipe and keep
# it open, and ctest would wait for them for ever. The server (and every
# Windows process of this prefix) is stopped when the stage ends.
if [ $run_tests = 1 ]; then
  server="$(dirname "$wine")/wineserver"
  if [ $fresh = 1 ]; then
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/zu-wine.XXXXXX")
  else
    WINEPREFIX=${WINEPREFIX:-$cache/wine/$(basename "$wine")}
  fi
  export WINEPREFIX
  export WINEDEBUG=${WINEDEBUG:--all,err+module}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
  [ "$(basename "$wine")" != wine64 ] || export WINEARCH=win64
  stop_wine() {
    "$server" -k >/dev/null 2>&1 || true
    "$server" -w >/dev/null 2>&1 || true
    if [ $fresh = 1 ]; then rm -rf "$WINEPREFIX"; fi
  }
  trap stop_wine EXIT
  mkdir -p "$WINEPREFIX"
  wine_start=$SECONDS
  # Exits with 2 when a server already runs for the prefix; it is used then.
  "$server" -p </dev/null >/dev/null 2>&1 || true
  "$wine" wineboot --init </dev/null >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.zu-booted"
  log "Wine ready in $((SECONDS - wine_start)) s ($WINEPREFIX)"
  # scripts/wine_run.sh, the toolchain's emulator, need not check again.
  export ZU_WINE_READY=1
fi
# The build's own DLLs (zu.dll and the modules) for programs in other
# folders of the build (cmake/windows.cmake puts them all in bin/).
export ZU_WINEPATH="$root/$dir/bin:$root/$dir${ZU_WINEPATH:+:$ZU_WINEPATH}"

log "configuring $dir for $triple"
# Scripting and UDT have no Windows build; MySQL and SQLite wait for their
# libraries' cross builds. Benchmarks need Google Benchmark cross-built.
# shellcheck disable=SC2086
cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$triple.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZU_WITH_JS=OFF -DZU_WITH_UDT=OFF -DZU_WITH_MYSQL=OFF -DZU_WITH_SQLITE=OFF \
  -DZU_BUILD_BENCHMARKS=OFF \
  ${ZU_WIN_CMAKE_ARGS:-} >/dev/null

log "building $dir"
cmake --build "$dir" -j "$jobs"

if [ $run_tests = 1 ]; then
  log "testing $dir under $(basename "$wine")"
  (cd "$dir" && CTEST_OUTPUT_ON_FAILURE=1 ctest -j "$jobs" --timeout 300 -LE soak "${ctest_args[@]}")

  # zuserve.exe as a user runs it, from the build: the compiler's runtime
  # and the outside libraries are found in their own folders.
  step=$SECONDS
  runtime=""
  for dll in libstdc++-6.dll libwinpthread-1.dll; do
    runtime+="$(dirname "$("$triple-g++-posix" -print-file-name=$dll)"):"
  done
  check_args=("--dlls=${runtime}$cache/$triple/sysroot/bin")
  grep -q '^ZU_WITH_TLS:BOOL=ON' "$dir/CMakeCache.txt" && check_args+=(--tls)
  grep -q '^ZU_WITH_SQLITE:BOOL=ON' "$dir/CMakeCache.txt" && check_args+=(--database)
  bash scripts/windows_zuserve_check.sh "${check_args[@]}" "$dir/bin/zuserve.exe"
  log "zuserve.exe checked in $((SECONDS - step)) s"

  # The zip package, unpacked and used from a fresh prefix and folder.
  step=$SECONDS
  bash scripts/windows_package_test.sh "$dir"
  log "package checked in $((SECONDS - step)) s"
fi
log "done in $((SECONDS - started)) s"
