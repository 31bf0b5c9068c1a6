#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks
# need. Idempotent: apt-get update runs only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev
  libexpat1-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  libpoco-dev wrk nginx libspdlog-dev libssl-dev libudt-dev libgsm1-dev sox libsox-fmt-base libpugixml-dev libboost-program-options-dev libmariadb-dev libsqlcipher-dev mariadb-server libmozjs-102-dev libpcre2-dev
  locales tzdata
  curl chromium wrk nginx python3
  clang libclang-rt-14-dev
)

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
for loc in de_DE en_US; do
  if ! locale -a 2>/dev/null | grep -qix "${loc}.utf8"; then
    echo "deps: generating locale ${loc}.UTF-8"
    $SUDO localedef -i "$loc" -f UTF-8 "${loc}.UTF-8"
  fi
done
