#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks
# need. Idempotent: apt-get update runs only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  libpoco-dev libspdlog-dev
  locales
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
