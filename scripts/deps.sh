#!/usr/bin/env bash
# Installs the Debian packages zu needs. Idempotent: apt-get update runs
# only when something is missing.
#
#   scripts/deps.sh          what building the library and zuserve and running
#                            them needs (scripts/run.sh calls this)
#   scripts/deps.sh --test   that, plus what the tests, the benchmarks and the
#                            fuzz targets need: GoogleTest, Google Benchmark,
#                            the peers measured beside zu (POCO, spdlog,
#                            pugixml, nginx, wrk), a MariaDB server, Chromium,
#                            gunicorn with httpbin (a peer for the HTTP client),
#                            clang, the test locales, mingw-w64 and Wine (the
#                            Windows stage), and the tools that build and check
#                            the Debian packages and the reference (lintian,
#                            doxygen) (scripts/test.sh)
set -euo pipefail

with_tests=0
case "${1:-}" in
  "") ;;
  --test) with_tests=1 ;;
  *) echo "usage: scripts/deps.sh [--test]" >&2; exit 2 ;;
esac

# The compiler and build tools, boost, and the headers of the outside
# libraries (their run-time libraries come with them).
packages=(
  build-essential cmake ninja-build pkg-config ccache
  libboost-dev
  libexpat1-dev libmariadb-dev libsqlcipher-dev libpcre2-dev libssl-dev libmozjs-102-dev libudt-dev libgsm1-dev
  tzdata
)
if [ "$with_tests" -eq 1 ]; then
  packages+=(
    libgtest-dev libgmock-dev googletest
    libbenchmark-dev
    libpoco-dev libspdlog-dev libpugixml-dev openssl libboost-program-options-dev
    mariadb-server sox libsox-fmt-base
    locales git curl python3 python3-gunicorn python3-httpbin chromium wrk nginx
    clang libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 tcl
    dpkg-dev file lintian doxygen
  )
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The time tests render the locale-dependent formats under a 24-hour,
# day-month-year locale and a 12-hour, month-day-year one.
if [ "$with_tests" -eq 1 ]; then
  for loc in de_DE en_US; do
    if ! locale -a 2>/dev/null | grep -qix "${loc}.utf8"; then
      echo "deps: generating locale ${loc}.UTF-8"
      $SUDO localedef -i "$loc" -f UTF-8 "${loc}.UTF-8"
    fi
  done
fi
