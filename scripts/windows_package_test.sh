#!/usr/bin/env bash
# Checks the Windows zip as a user gets it: makes it with cpack from a
# Windows build, checks its file list, unzips it onto drive C: of a new
# Wine prefix, builds tests/package/consumer.cpp against it with mingw-w64
# through find_package(zu) and through pkg-config, runs the consumer with
# only the package's bin/ on its PATH, converts a file with its sndconv.exe
# and runs its zuserve.exe (scripts/windows_zuserve_check.sh). Nothing of
# the build tree or the cross-built tree is on the programs' DLL path.
#
#   scripts/windows_package_test.sh [BUILD_DIR]     (default build-win64)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
build=$(cd "${1:-build-win64}" && pwd)
started=$SECONDS
fail() { echo "windows package test: $*" >&2; exit 1; }
log() { echo "windows package test: $*" >&2; }

cache=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -f "$cache" ] || fail "$build is not a Windows build (no toolchain file)"
toolchain=$cache
triple=$(basename "$toolchain" .cmake)
version=$(sed -n 's/^project(zu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
case $triple in
  x86_64-*) system=win64 ;;
  *) system=win32 ;;
esac
name=zu-$version-$system

# The package.
rm -f "$build/$name.zip"
(cd "$build" && cpack -G ZIP >/dev/null) || fail "cpack failed"
zip=$build/$name.zip
[ -f "$zip" ] || fail "cpack made no $name.zip"

# Its contents: the outside DLLs are those the build took from the cross
# tree, whatever that holds today.
listing=$(unzip -Z1 "$zip")
expected=(bin/zu.dll bin/zuserve.exe bin/sndconv.exe bin/libstdc++-6.dll bin/libwinpthread-1.dll
          lib/libzu.dll.a lib/cmake/zu/zuConfig.cmake lib/cmake/zu/zuConfigVersion.cmake
          lib/cmake/zu/zuTargets.cmake lib/pkgconfig/zu.pc include/zu/string.h include/zu/config.h)
sysroot=$(sed -n 's/^ZU_CROSS_SYSROOT:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$sysroot" ] || sysroot=${ZU_CROSS_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/zu-cross}/$triple/sysroot
for dll in $(sed -n 's/^set(ZU_WINDOWS_OUTSIDE_DLLS \(.*\))$/\1/p' cmake/windows.cmake); do
  [ ! -e "$sysroot/bin/$dll" ] || expected+=("bin/$dll")
done
for file in "${expected[@]}"; do
  grep -qx "$name/$file" <<<"$listing" || fail "$name.zip has no $file"
done
if grep -v "^$name/" <<<"$listing" | grep -q .; then fail "$name.zip has files outside its folder $name/"; fi
if grep -Eq '^[^/]+/(etc|share)/' <<<"$listing"; then fail "$name.zip holds the Linux service files"; fi
log "$name.zip: $(grep -c -v '/$' <<<"$listing") files, $(du -k "$zip" | cut -f1) KiB"

# A new prefix, its own Wine server, and the package on its drive C:.
work=$(mktemp -d "${TMPDIR:-/tmp}/zu-winpkg.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=${WINEDEBUG:--all,err+module}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
unset ZU_WINE_READY ZU_WINEPATH WINEPATH
server=/usr/lib/wine/wineserver
cleanup() {
  "$server" -k >/dev/null 2>&1 || true
  "$server" -w >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
step=$SECONDS
# scripts/wine_run.sh makes and boots the prefix on first use.
"$top/scripts/wine_run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
[ -d "$WINEPREFIX/drive_c" ] || fail "Wine made no prefix in $WINEPREFIX"
log "new Wine prefix in $((SECONDS - step)) s"
(cd "$WINEPREFIX/drive_c" && unzip -q "$zip")
pkg=$WINEPREFIX/drive_c/$name
# A user puts the package's bin/ on PATH; nothing else is there.
export WINEPATH="C:\\$name\\bin"

# The consumer through find_package(zu), with the project's toolchain file
# (its find root is the cross tree, where Boost's headers are).
cmake -S tests/package -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -Dzu_DIR="$pkg/lib/cmake/zu" -DCMAKE_CXX_COMPILER_LAUNCHER= >/dev/null ||
  fail "find_package(zu) did not configure against the package"
cmake --build "$work/consumer" >/dev/null || fail "the consumer did not build against the package"
grep -q "$pkg/include" "$work/consumer/build.ninja" || fail "find_package(zu) did not take the package's headers"
grep -q "$pkg/lib/libzu.dll.a" "$work/consumer/build.ninja" || fail "the consumer was not linked with the package's import library"
out=$("$top/scripts/wine_run.sh" "$work/consumer/consumer.exe" 2>&1 | tr -d '\r') ||
  fail "the CMake-built consumer failed: $out"
[ "$out" = "packaged zu 1" ] || fail "the CMake-built consumer printed: $out"
log "consumer (find_package): $out"

# The consumer through pkg-config, with the mingw-w64 compiler by hand.
pcversion=$(PKG_CONFIG_PATH="$pkg/lib/pkgconfig" PKG_CONFIG_LIBDIR= pkg-config --modversion zu)
[ "$pcversion" = "$version" ] || fail "zu.pc gives version $pcversion, not $version"
# shellcheck disable=SC2046
"$triple-g++-posix" -std=c++17 -o "$work/consumer-pc.exe" tests/package/consumer.cpp -isystem "$sysroot/include" \
  $(PKG_CONFIG_PATH="$pkg/lib/pkgconfig" PKG_CONFIG_LIBDIR= pkg-config --cflags --libs zu) ||
  fail "the consumer did not build with zu.pc's flags"
out=$("$top/scripts/wine_run.sh" "$work/consumer-pc.exe" 2>&1 | tr -d '\r') ||
  fail "the pkg-config-built consumer failed: $out"
[ "$out" = "packaged zu 1" ] || fail "the pkg-config-built consumer printed: $out"
log "consumer (pkg-config): $out"

# sndconv.exe from the package.
printf '\x00\x7f\x80\xff' >"$work/tone.ul"
out=$("$top/scripts/wine_run.sh" "$pkg/bin/sndconv.exe" "$(printf 'Z:%s' "${work//\//\\}")\\tone" 2>&1 | tr -d '\r')
[ "$out" = TRUE ] || fail "the package's sndconv.exe printed: $out"
[ "$(stat -c %s "$work/tone.wav")" = 52 ] || fail "the package's sndconv.exe wrote no 4-sample WAVE file"
log "sndconv.exe: converted a file"

# zuserve.exe from the package, with no folder of DLLs besides its own.
check_args=()
grep -q '^ZU_WITH_TLS:BOOL=ON' "$build/CMakeCache.txt" && check_args+=(--tls)
grep -q '^ZU_WITH_SQLITE:BOOL=ON' "$build/CMakeCache.txt" && check_args+=(--database)
bash "$top/scripts/windows_zuserve_check.sh" "${check_args[@]}" "$pkg/bin/zuserve.exe"

log "passed in $((SECONDS - started)) s"
