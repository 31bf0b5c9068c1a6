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
# The databases and TLS need OpenSSL, whose cross build takes half an hour
# cold: the 32-bit build, which cannot be tested here, goes without them.
packages=(expat pcre2 googletest libgsm boost)
case $triple in
  x86_64-w64-mingw32)
    dir=${dir:-build-win64}; wine=/usr/lib/wine/wine64
    packages+=(openssl sqlcipher libmariadb)
    options=(-DZU_WITH_MYSQL=ON -DZU_WITH_SQLITE=ON -DZU_WITH_TLS=ON) ;;
  i686-w64-mingw32)
    dir=${dir:-build-win32}; wine=/usr/lib/wine/wine
    options=(-DZU_WITH_MYSQL=OFF -DZU_WITH_SQLITE=OFF -DZU_WITH_TLS=OFF) ;;
  *) echo "windows_stage: no toolchain for $triple" >&2; exit 2 ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)
cache=${ZU_CROSS_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/zu-cross}
log() { echo "windows_stage: $*" >&2; }
started=$SECONDS

# The outside libraries for this target (nothing is built when cached).
bash scripts/cross_deps.sh --triple "$triple" "${packages[@]}"

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
  # The server keeps its error output when it detaches: should it stop on an
  # assertion of its own, every program of the prefix waits for good, and
  # this log is where the reason is shown (after the tests).
  mkdir -p "$dir"
  wine_log="$root/$dir/wineserver.log"
  "$server" -p </dev/null >/dev/null 2>"$wine_log" || true
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
# Scripting and UDT have no Windows build. Benchmarks need Google Benchmark
# cross-built.
# shellcheck disable=SC2086
cmake -S . -B "$dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$triple.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZU_WITH_JS=OFF -DZU_WITH_UDT=OFF "${options[@]}" \
  -DZU_BUILD_BENCHMARKS=OFF \
  ${ZU_WIN_CMAKE_ARGS:-} >/dev/null

log "building $dir"
cmake --build "$dir" -j "$jobs"

# The MySQL tests reach a MariaDB server on the Linux side over TCP
# loopback: one private server for the stage, in a temporary folder at a
# free port, with the account and database the tests expect
# (tests/db_server.h). Its port goes to the tests in ZU_TEST_MARIADB_PORT;
# when an installed server does not start, ZU_TEST_MARIADB_ERROR tells the
# tests why, and they fail. Without the server programs they are skipped.
mariadb_dir=""
mariadb_pid=""
mariadb_program() {
  local name=$1 d
  for d in ${PATH//:/ } /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin; do
    [ -x "$d/$name" ] && { echo "$d/$name"; return 0; }
  done
  return 1
}
start_mariadb() {
  local install daemon client user=() port i
  install=$(mariadb_program mariadb-install-db) && daemon=$(mariadb_program mariadbd) &&
    mariadb_admin=$(mariadb_program mariadb-admin) && client=$(mariadb_program mariadb) ||
    { log "no MariaDB server programs: the MySQL tests are skipped"; return 0; }
  mariadb_dir=$(mktemp -d /tmp/zu_wdb_XXXXXX)
  mkdir "$mariadb_dir/tmp"
  [ "$(id -u)" -ne 0 ] || user=(--user=root)
  if ! TMPDIR="$mariadb_dir/tmp" "$install" --no-defaults "${user[@]}" --datadir="$mariadb_dir/data" \
      --auth-root-authentication-method=normal --skip-test-db >"$mariadb_dir/install.log" 2>&1; then
    export ZU_TEST_MARIADB_ERROR="mariadb-install-db failed: $(tail -5 "$mariadb_dir/install.log")"
    return 0
  fi
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$daemon" --no-defaults "${user[@]}" --datadir="$mariadb_dir/data" --bind-address=127.0.0.1 --port="$port" \
    --socket="$mariadb_dir/mysqld.sock" --pid-file="$mariadb_dir/mysqld.pid" --log-error="$mariadb_dir/error.log" \
    --skip-name-resolve --tmpdir="$mariadb_dir/tmp" --innodb-buffer-pool-size=64M </dev/null >/dev/null 2>&1 &
  mariadb_pid=$!
  for ((i = 0; i < 600; i++)); do
    "$mariadb_admin" --no-defaults --socket="$mariadb_dir/mysqld.sock" -uroot ping >/dev/null 2>&1 && break
    if ! kill -0 "$mariadb_pid" 2>/dev/null; then
      mariadb_pid=""
      export ZU_TEST_MARIADB_ERROR="mariadbd ended at start: $(tail -5 "$mariadb_dir/error.log")"
      return 0
    fi
    sleep 0.1
  done
  local sql="CREATE DATABASE zu_test;" host
  for host in localhost 127.0.0.1; do
    sql+="CREATE USER 'zu'@'$host' IDENTIFIED BY 'pw:x'; GRANT ALL ON zu_test.* TO 'zu'@'$host';"
  done
  if ! "$client" --no-defaults --socket="$mariadb_dir/mysqld.sock" -uroot -e "$sql" >/dev/null 2>&1; then
    export ZU_TEST_MARIADB_ERROR="mariadbd did not answer within 60 s, or the test database could not be made"
    return 0
  fi
  export ZU_TEST_MARIADB_PORT=$port
  log "MariaDB server for the MySQL tests on 127.0.0.1:$port"
}
stop_mariadb() {
  if [ -n "$mariadb_pid" ]; then
    "$mariadb_admin" --no-defaults --socket="$mariadb_dir/mysqld.sock" -uroot shutdown >/dev/null 2>&1 ||
      kill -9 "$mariadb_pid" 2>/dev/null || true
    wait "$mariadb_pid" 2>/dev/null || true
  fi
  [ -z "$mariadb_dir" ] || rm -rf "$mariadb_dir"
}

# The TLS peer of tests/tls_windows_test.cpp: OpenSSL's s_server with a
# certificate of a test CA for localhost and 127.0.0.1, made here by the
# openssl command, serving its status page on a free loopback port
# (ZU_TEST_TLS_PORT, and the CA file as a Windows path in ZU_TEST_TLS_CA).
tls_dir=""
tls_pid=""
start_tls_peer() {
  command -v openssl >/dev/null || { log "no openssl command: the TLS tests are skipped"; return 0; }
  tls_dir=$(mktemp -d /tmp/zu_wtls_XXXXXX)
  local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes) i port=""
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' >"$tls_dir/server.ext"
  if ! (cd "$tls_dir" &&
        openssl req -x509 "${ec[@]}" -keyout ca.key -out ca.pem -days 30 -subj '/CN=zu test CA' &&
        openssl req -new "${ec[@]}" -keyout server.key -out server.csr -subj /CN=server &&
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
          -out server.pem -extfile server.ext) >"$tls_dir/make.log" 2>&1; then
    export ZU_TEST_TLS_ERROR="the certificates could not be made: $(tail -5 "$tls_dir/make.log")"
    return 0
  fi
  openssl s_server -4 -accept 127.0.0.1:0 -cert "$tls_dir/server.pem" -key "$tls_dir/server.key" -www \
    </dev/null >"$tls_dir/s_server.log" 2>&1 &
  tls_pid=$!
  for ((i = 0; i < 300; i++)); do
    port=$(sed -n 's/^ACCEPT 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$tls_dir/s_server.log")
    [ -z "$port" ] || break
    kill -0 "$tls_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    export ZU_TEST_TLS_ERROR="openssl s_server did not start: $(tail -5 "$tls_dir/s_server.log")"
    return 0
  fi
  export ZU_TEST_TLS_PORT=$port ZU_TEST_TLS_CA="Z:$tls_dir/ca.pem"
  log "TLS server for the TLS tests on 127.0.0.1:$port"
}
stop_tls_peer() {
  if [ -n "$tls_pid" ]; then
    kill "$tls_pid" 2>/dev/null || true
    wait "$tls_pid" 2>/dev/null || true
  fi
  [ -z "$tls_dir" ] || rm -rf "$tls_dir"
}

if [ $run_tests = 1 ]; then
  trap 'stop_tls_peer; stop_mariadb; stop_wine' EXIT
  start_mariadb
  start_tls_peer
  log "testing $dir under $(basename "$wine")"
  status=0
  (cd "$dir" && CTEST_OUTPUT_ON_FAILURE=1 ctest -j "$jobs" --timeout 300 -LE soak "${ctest_args[@]}") || status=$?
  if [ -s "$wine_log" ]; then
    log "Wine's server wrote to $wine_log:"
    tail -5 "$wine_log" >&2
  fi
  [ $status = 0 ] || exit $status

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
