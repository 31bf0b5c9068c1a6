#!/usr/bin/env bash
# Checks the Debian packages: builds them (scripts/package.sh, reusing
# BUILD_DIR), has lintian find no error in them, unpacks them into a
# temporary root, builds tests/package/consumer.cpp there through
# find_package(zu) and through pkg-config and runs both, and verifies the
# zuserve unit with systemd-analyze.
#
#   scripts/package_test.sh [BUILD_DIR]     (default build-pkg)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
build=${1:-build-pkg}

mapfile -t debs < <(bash scripts/package.sh "$build")
[ ${#debs[@]} -eq 4 ] || { echo "package test: expected 4 packages, got ${#debs[@]}" >&2; exit 1; }

fail() { echo "package test: $*" >&2; exit 1; }

# lintian: errors fail, warnings are printed.
lintian_out=$(lintian --tag-display-limit 0 "${debs[@]}" 2>&1 | grep -v '^running with root privileges' || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
if grep -q '^E:' <<<"$lintian_out"; then fail "lintian reports errors"; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
libdir=$(dirname "$(find "$root/usr/lib" -name 'libzu.so.0' | head -1)")
[ -d "$libdir" ] || fail "libzu.so.0 is not in the packages"
version=$(sed -n 's/^project(zu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for deb in "${debs[@]}"; do
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb is not version $version"
done

# The consumer through the CMake package.
cmake -S tests/package -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_CXX_COMPILER_LAUNCHER= >/dev/null
cmake --build "$work/cmake" >/dev/null
grep -q "$root/usr/include" "$work/cmake/build.ninja" || fail "find_package(zu) did not take the unpacked headers"
out=$(LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer") || fail "the CMake-built consumer failed: $out"
echo "consumer (find_package): $out"

# The consumer through pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion zu)" = "$version" ] || fail "zu.pc does not give version $version"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/consumer-pc" tests/package/consumer.cpp $(pkg-config --cflags --libs zu)
out=$(LD_LIBRARY_PATH="$libdir" "$work/consumer-pc") || fail "the pkg-config-built consumer failed: $out"
echo "consumer (pkg-config): $out"
# Linked against the unpacked library, not one found elsewhere. ldd's list
# is taken whole first: grep -q stops reading at its match, and under
# pipefail a writer cut off by that would fail the check at random.
libraries=$(LD_LIBRARY_PATH="$libdir" ldd "$work/consumer-pc")
grep -q "$libdir/libzu.so.0" <<<"$libraries" ||
  fail "the consumer did not load the unpacked libzu"

# The unit, with its program path pointed into the root; systemd-analyze
# reports doubtful settings on its output while still exiting 0.
unit=$root/lib/systemd/system/zuserve.service
[ -f "$unit" ] || fail "the zuserve unit is not in the packages"
[ -f "$root/etc/zuserve/zuserve.xml" ] || fail "the zuserve configuration is not in the packages"
for program in zuserve sndconv; do
  page=$root/usr/share/man/man1/$program.1.gz
  [ -f "$page" ] || fail "the manual page of $program is not in the packages"
  text=$(zcat "$page")
  grep -q "^\.TH .*\"zu $version\"" <<<"$text" || fail "the manual page of $program does not give version $version"
done
if ! command -v systemd-analyze >/dev/null; then
  echo "package test: systemd-analyze is missing; the unit is not verified"
else
  mkdir -p "$work/unit"
  sed "s#/usr/bin/zuserve#$root/usr/bin/zuserve#" "$unit" >"$work/unit/zuserve.service"
  if verify=$(systemd-analyze verify --man=no "$work/unit/zuserve.service" 2>&1) && [ -z "$verify" ]; then
    echo "unit: verified"
  elif grep -qi 'bus\|no such file or directory.*systemd\|offline' <<<"$verify" && ! grep -q 'zuserve.service:' <<<"$verify"; then
    echo "package test: systemd-analyze cannot run here ($verify); the unit is not verified"
  else
    echo "$verify" >&2
    fail "systemd-analyze does not accept the zuserve unit"
  fi
fi
# The unpacked server with the packaged configuration, its paths moved into
# the root and any free port: it answers, and SIGTERM (what the unit's stop
# sends) ends it with status 0.
state=$work/state
mkdir -p "$state"
sed -e "s#/usr/share/zuserve#$root/usr/share/zuserve#g" -e "s#/var/lib/zuserve#$state#" \
  -e 's#port="8080"#port="0"#' "$root/etc/zuserve/zuserve.xml" >"$work/zuserve.xml"
LD_LIBRARY_PATH="$libdir" "$root/usr/bin/zuserve" --config "$work/zuserve.xml" >"$work/zuserve.log" 2>&1 &
server=$!
url=""
for _ in $(seq 100); do
  url=$(grep -o 'http://[0-9.]*:[0-9]*/' "$work/zuserve.log" | head -1 || true)
  [ -n "$url" ] || ! kill -0 "$server" 2>/dev/null && break
  sleep 0.1
done
[ -n "$url" ] || { cat "$work/zuserve.log" >&2; fail "the packaged zuserve did not start"; }
curl -fsS "$url" >/dev/null || { kill "$server"; cat "$work/zuserve.log" >&2; fail "the packaged zuserve does not answer $url"; }
kill -TERM "$server"
status=0
wait "$server" || status=$?
[ "$status" -eq 0 ] || { cat "$work/zuserve.log" >&2; fail "zuserve ended with status $status on SIGTERM"; }
[ -f "$state/zuserve.db" ] || fail "zuserve kept no database in its state folder"
echo "zuserve: answered $url, stopped on SIGTERM"

echo "package test: passed"
