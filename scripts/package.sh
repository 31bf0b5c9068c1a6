#!/usr/bin/env bash
# Builds the Debian packages libzu0, libzu-dev, zuserve and sndconv.
#
#   scripts/package.sh [BUILD_DIR]
#
# BUILD_DIR (default build-pkg) is configured as a Release build without
# tests, benchmarks or examples unless it already holds a configured tree,
# which is then reused (the test command passes its release build). Either
# way its install prefix is set to /usr, which puts the libraries into
# Debian's multiarch folder (lib/x86_64-linux-gnu); nothing is recompiled
# for that.
# The packages are written to BUILD_DIR/packages; their names are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-pkg}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DZU_BUILD_TESTS=OFF -DZU_BUILD_BENCHMARKS=OFF -DZU_BUILD_EXAMPLES=OFF >/dev/null
fi
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zu-all zuserve sndconv >/dev/null

out=$build/packages
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$PWD/packages" >/dev/null 2>&1) || { echo "package: cpack failed" >&2; exit 1; }
rm -rf "$out/_CPack_Packages"

# CPack writes no Multi-Arch field: the libraries' packages can be installed
# for several architectures side by side, the programs satisfy any. And it
# calls ldconfig from postinst and postrm, where Debian activates the
# ldconfig trigger instead.
for deb in "$out"/*.deb; do
  name=$(dpkg-deb -f "$deb" Package)
  case "$name" in
    libzu0|libzu-dev) multiarch=same ;;
    *) multiarch=foreign ;;
  esac
  tree=$(mktemp -d)
  dpkg-deb -R "$deb" "$tree"
  sed -i "/^Multi-Arch:/d; /^Architecture:/a Multi-Arch: $multiarch" "$tree/DEBIAN/control"
  if [ "$name" = libzu0 ]; then
    rm -f "$tree/DEBIAN/postinst" "$tree/DEBIAN/postrm"
    echo "activate-noawait ldconfig" >"$tree/DEBIAN/triggers"
    chmod 644 "$tree/DEBIAN/triggers"
  fi
  dpkg-deb --root-owner-group -Zxz -b "$tree" "$deb" >/dev/null
  rm -rf "$tree"
  echo "$deb"
done
