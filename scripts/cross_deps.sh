#!/usr/bin/env bash
# Cross-builds the outside libraries that zu loads, and the test framework,
# for Windows from Debian's own source packages (with Debian's patches), so
# the Windows build uses the versions (and fixes) Debian ships.
#
#   scripts/cross_deps.sh [--triple TRIPLE]... [--jobs N] [PACKAGE...]
#
# TRIPLE is x86_64-w64-mingw32 (default) or i686-w64-mingw32; PACKAGE is a
# source package with a recipe below (default: expat pcre2 googletest
# libgsm boost; openssl is there too, but takes half an hour). Each result is installed into
#   $ZU_CROSS_ROOT/<triple>/<package>-<version>   (include, lib, bin)
# with ZU_CROSS_ROOT defaulting to ${XDG_CACHE_HOME:-~/.cache}/zu-cross,
# outside the source tree. A result is kept while the source version, the
# recipe, the toolchain file and the compiler stay the same, so a second run
# builds nothing. The current results are then merged (as symbolic links)
# into $ZU_CROSS_ROOT/<triple>/sysroot, where the toolchain files in
# cmake/toolchains/ find them.
#
# Needs: deb-src entries (added here, derived from the machine's own Debian
# entries, when missing), dpkg-dev, cmake, ninja and the mingw-w64
# compilers; scripts/deps.sh installs them.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${ZU_CROSS_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/zu-cross}
jobs=$(nproc 2>/dev/null || echo 2)
triples=()
packages=()
while [ $# -gt 0 ]; do
  case $1 in
    --triple) triples+=("$2"); shift ;;
    --triple=*) triples+=("${1#--triple=}") ;;
    --jobs) jobs=$2; shift ;;
    -h|--help) sed -n '2,21p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) echo "cross_deps: unknown option $1" >&2; exit 2 ;;
    *) packages+=("$1") ;;
  esac
  shift
done
[ ${#triples[@]} -gt 0 ] || triples=(x86_64-w64-mingw32)
[ ${#packages[@]} -gt 0 ] || packages=(expat pcre2 googletest libgsm boost)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
log() { echo "cross_deps: $*" >&2; }

# --- Debian source packages -------------------------------------------------

# apt-get source needs deb-src entries. Debian's images ship only binary
# ones; the same archives, suites and keys serve the sources, so the
# entries are derived from the machine's Debian entries rather than named.
ensure_deb_src() {
  local out=/etc/apt/sources.list.d/zu-deb-src.sources tmp
  if grep -rqsE '^(Types:.*deb-src|[[:space:]]*deb-src[[:space:]])' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    if ! compgen -G '/var/lib/apt/lists/*_Sources*' >/dev/null; then
      $SUDO apt-get update -q >/dev/null
    fi
    return
  fi
  tmp=$(mktemp)
  # deb822 files: each enabled stanza of type deb, signed by Debian's keys.
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && [ "$f" != "$out" ] || continue
    awk 'BEGIN { RS=""; ORS="\n\n" }
         /(^|\n)Types:([^\n]*[ \t])?deb([ \t]|\n|$)/ && /debian-archive-keyring/ && !/(^|\n)Enabled: *no/ {
           sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f" >>"$tmp"
  done
  # One-line files: each "deb" line becomes a "deb-src" line.
  local lines=""
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    lines+=$(sed -n 's/^[[:space:]]*deb[[:space:]]\+/deb-src /p' "$f" | grep -i debian || true)
    lines+=$'\n'
  done
  if [ ! -s "$tmp" ] && [ -z "${lines//[$'\n']/}" ]; then
    rm -f "$tmp"
    log "no Debian entries found in /etc/apt to derive deb-src entries from"
    exit 1
  fi
  if [ -s "$tmp" ]; then
    log "adding deb-src entries ($out)"
    $SUDO install -m 644 "$tmp" "$out"
  fi
  if [ -n "${lines//[$'\n']/}" ]; then
    log "adding deb-src lines (/etc/apt/sources.list.d/zu-deb-src.list)"
    printf '%s\n' "$lines" | grep . | $SUDO tee /etc/apt/sources.list.d/zu-deb-src.list >/dev/null
  fi
  rm -f "$tmp"
  $SUDO apt-get update -q >/dev/null
}

# The versions apt knows of a source package, newest first (in dpkg's order).
source_versions() {
  local all=() i j t
  mapfile -t all < <(apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u)
  for ((i = 0; i < ${#all[@]}; i++)); do
    for ((j = i + 1; j < ${#all[@]}; j++)); do
      if dpkg --compare-versions "${all[j]}" gt "${all[i]}"; then
        t=${all[i]}; all[i]=${all[j]}; all[j]=$t
      fi
    done
  done
  [ ${#all[@]} -eq 0 ] || printf '%s\n' "${all[@]}"
}

# The Debian source package a recipe builds from, where it is not the
# recipe's own name (the client library is one folder of the server's).
source_package() {
  case $1 in
    libmariadb) echo mariadb ;;
    *) echo "$1" ;;
  esac
}

# Fetches and unpacks (with Debian's patches) one version of a source
# package into $cache/src/<package>/<version>, once; prints the tree's path.
# Fails when the archive does not serve that version (a mirror may index a
# security update whose files it lacks); such a refusal is remembered for a
# day, so runs with everything cached do not ask again.
fetch_source() { # package version
  local pkg=$1 ver=$2 dir="$cache/src/$1/${2//:/%}"
  if [ ! -e "$dir/.complete" ]; then
    if [ -n "$(find "$dir.unavailable" -mmin -1440 2>/dev/null)" ]; then
      return 1
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    if ! (cd "$dir" && apt-get source -q "$pkg=$ver" >apt-source.log 2>&1); then
      mv "$dir/apt-source.log" "$dir.unavailable"
      rm -rf "$dir"
      return 1
    fi
    rm -f "$dir.unavailable"
    touch "$dir/.complete"
  fi
  local tree
  tree=$(find "$dir" -mindepth 1 -maxdepth 1 -type d | head -1)
  [ -n "$tree" ] || return 1
  printf '%s\n' "$tree"
}

# --- Recipes ------------------------------------------------------------------
# recipe_<package> TRIPLE SOURCE_TREE PREFIX WORK builds and installs one
# package. A package whose version does not come from its Debian source
# package also defines version_<package> (and then gets no source tree).

# Configures, builds and installs a CMake project for the target.
cmake_build() { # triple source prefix work [cmake arguments...]
  local triple=$1 src=$2 prefix=$3 work=$4; shift 4
  cmake -S "$src" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchains/$triple.cmake" \
    -DZU_CROSS_ROOT="$cache" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc" \
    "$@" >"$work/configure.log" 2>&1 || { tail -30 "$work/configure.log" >&2; return 1; }
  cmake --build "$work/build" -j "$jobs" >"$work/build.log" 2>&1 || { tail -30 "$work/build.log" >&2; return 1; }
  cmake --install "$work/build" >"$work/install.log" 2>&1 || { tail -30 "$work/install.log" >&2; return 1; }
}

# Expat: libexpat-1.dll. Debian's patches test "#if XML_DTD == 1" as the
# configure script defines it, where the CMake build's header defines
# XML_DTD empty; the copy built here gives it the value 1.
recipe_expat() {
  cp -a "$2/expat" "$4/src"
  sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine XML_DTD 1/' "$4/src/expat_config.h.cmake"
  cmake_build "$1" "$4/src" "$3" "$4" \
    -DEXPAT_SHARED_LIBS=ON -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF \
    -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=ON
}

# PCRE2, 8-bit code units, with its POSIX-style interface: libpcre2-8.dll
# and libpcre2-posix.dll (which imports the first). Just-in-time compiling
# as Debian's Linux build has it.
recipe_pcre2() {
  cmake_build "$1" "$2" "$3" "$4" \
    -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF \
    -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_SUPPORT_JIT=ON -DPCRE2_SUPPORT_UNICODE=ON \
    -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF
}

# GoogleTest and GoogleMock as static libraries with their CMake package
# (GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main).
recipe_googletest() {
  cmake_build "$1" "$2" "$3" "$4" \
    -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -DBUILD_SHARED_LIBS=OFF
}

# libgsm (GSM 06.10) as a static library: its own makefile builds for the
# machine it runs on, so its library sources are compiled here directly,
# with the options Debian's build gives them.
recipe_libgsm() {
  local triple=$1 src=$2 prefix=$3 work=$4 f objs=()
  mkdir -p "$work/obj" "$prefix/include" "$prefix/lib"
  for f in add code debug decode long_term lpc preprocess rpe gsm_destroy gsm_decode \
           gsm_encode gsm_explode gsm_implode gsm_create gsm_print gsm_option short_term table; do
    "$triple-gcc-posix" -c -O2 -Wall -DSASR -DWAV49 -DUSE_FLOAT_MUL -DNeedFunctionPrototypes=1 \
      -I"$src/inc" "$src/src/$f.c" -o "$work/obj/$f.o" 2>>"$work/build.log" || { tail -20 "$work/build.log" >&2; return 1; }
    objs+=("$work/obj/$f.o")
  done
  "$triple-ar" rcs "$prefix/lib/libgsm.a" "${objs[@]}"
  cp "$src/inc/gsm.h" "$prefix/include/"
}

# OpenSSL's libraries as DLLs (libcrypto-3-x64.dll and libssl-3-x64.dll
# for 64-bit targets, libcrypto-3.dll and libssl-3.dll for 32-bit ones),
# configured outside its source tree with OpenSSL's own mingw targets.
# Only the libraries are built, and without what neither TLS 1.2/1.3 with
# X.509 verification nor SQLCipher (AES, SHA-1 HMAC, PBKDF2, random bytes)
# use: engines and the legacy provider, old and national ciphers and
# digests, DTLS and SSL 3, and the certificate services (OCSP, CMS, CMP,
# time stamps, transparency logs). The deprecated interfaces stay: SQLCipher
# calls them.
openssl_left_out=(no-tests no-engine no-legacy no-comp no-srp no-ssl3 no-weak-ssl-ciphers no-dtls
  no-idea no-seed no-md2 no-md4 no-mdc2 no-rc2 no-rc4 no-rc5 no-bf no-cast no-camellia no-aria
  no-sm2 no-sm3 no-sm4 no-whirlpool no-rmd160 no-siphash no-gost no-ec2m
  no-ocsp no-ct no-cms no-cmp no-ts no-srtp no-sctp no-nextprotoneg no-ssl-trace no-ui-console)
recipe_openssl() {
  local triple=$1 src=$2 prefix=$3 work=$4 target
  case $triple in
    x86_64-*) target=mingw64 ;;
    *) target=mingw ;;
  esac
  mkdir -p "$work/build"
  # The two DLLs alone (with their import libraries): "build_libs" would
  # compile every source a second time for the static libraries, and build
  # the programs' helper library, none of which zu uses. They are then
  # installed by hand, with the headers.
  local suffix=""
  [ "$target" != mingw64 ] || suffix=-x64
  (cd "$work/build" &&
    perl "$src/Configure" "$target" shared "${openssl_left_out[@]}" --prefix="$prefix" --libdir=lib \
      CC="$triple-gcc-posix" AR="$triple-ar" RANLIB="$triple-ranlib" RC="$triple-windres" \
      >"$work/configure.log" 2>&1 &&
    make build_generated >"$work/build.log" 2>&1 &&
    make -j "$jobs" "libcrypto-3$suffix.dll" "libssl-3$suffix.dll" >>"$work/build.log" 2>&1) ||
    { tail -30 "$work"/*.log >&2; return 1; }
  mkdir -p "$prefix/bin" "$prefix/lib" "$prefix/include/openssl"
  cp "$work/build/libcrypto-3$suffix.dll" "$work/build/libssl-3$suffix.dll" "$prefix/bin/"
  cp "$work/build/libcrypto.dll.a" "$work/build/libssl.dll.a" "$prefix/lib/"
  cp "$src"/include/openssl/*.h "$work"/build/include/openssl/*.h "$prefix/include/openssl/"
}

# SQLCipher (SQLite with keyed, encrypted files) as libsqlcipher-0.dll, its
# crypto from the OpenSSL built above (libcrypto-3-x64.dll), which must be
# in the target's tree first. The single-file source is generated by the
# package's own build on this machine (its generators are host programs,
# and it needs tclsh); that file is then compiled for the target with the
# options Debian's build gives it (thread-safe, temporary tables in memory,
# extensions loadable).
recipe_sqlcipher() {
  local triple=$1 src=$2 prefix=$3 work=$4 tree="$cache/$1/sysroot"
  [ -e "$tree/lib/libcrypto.dll.a" ] || { log "sqlcipher: build openssl for $triple first"; return 1; }
  command -v tclsh >/dev/null || { log "sqlcipher: tclsh is missing (package tcl)"; return 1; }
  mkdir -p "$work/gen" "$prefix/include" "$prefix/lib" "$prefix/bin"
  (cd "$work/gen" && "$src/configure" --disable-tcl >"$work/configure.log" 2>&1 &&
    make sqlite3.c >"$work/generate.log" 2>&1) || { tail -30 "$work"/*.log >&2; return 1; }
  "$triple-gcc-posix" -shared -O2 -fno-strict-aliasing -static-libgcc \
    -DSQLITE_HAS_CODEC -DSQLITE_TEMP_STORE=2 -DSQLITE_THREADSAFE=1 \
    -DSQLITE_SECURE_DELETE -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS3 \
    -DSQLITE_ENABLE_RTREE=1 -DSQLITE_SOUNDEX=1 -DSQLITE_ENABLE_UNLOCK_NOTIFY \
    -DSQLITE_OMIT_LOOKASIDE=1 -DSQLITE_ENABLE_UPDATE_DELETE_LIMIT=1 -DSQLITE_MAX_SCHEMA_RETRY=25 \
    -DOPENSSL_SUPPRESS_DEPRECATED -I"$tree/include" \
    "$work/gen/sqlite3.c" -o "$prefix/bin/libsqlcipher-0.dll" \
    -Wl,--out-implib,"$prefix/lib/libsqlcipher.dll.a" -L"$tree/lib" -lcrypto \
    >"$work/build.log" 2>&1 || { tail -30 "$work/build.log" >&2; return 1; }
  # The header where Debian's package puts it.
  mkdir -p "$prefix/include/sqlcipher"
  cp "$work/gen/sqlite3.h" "$prefix/include/sqlcipher/"
}

# MariaDB's client library (Connector/C, the libmariadb folder of the
# server's source package) as libmariadb.dll: that folder alone is
# configured, without TLS (zu's connection strings ask for none), without
# its tests, its curl-based remote files and the authentication plugins
# it would load as separate DLLs. The built-in ones remain: the native
# password, the old password, zlib compression and the socket, named-pipe
# and shared-memory transports.
recipe_libmariadb() {
  cmake_build "$1" "$2/libmariadb" "$3" "$4" \
    -DWITH_SSL=OFF -DWITH_UNIT_TESTS=OFF -DWITH_CURL=OFF -DWITH_EXTERNAL_ZLIB=OFF \
    -DWITH_DOCS=OFF -DWITH_MSI=OFF -DWITH_ICONV=OFF \
    -DCLIENT_PLUGIN_DIALOG=OFF -DCLIENT_PLUGIN_CLIENT_ED25519=OFF \
    -DCLIENT_PLUGIN_CACHING_SHA2_PASSWORD=OFF -DCLIENT_PLUGIN_SHA256_PASSWORD=OFF \
    -DCLIENT_PLUGIN_AUTH_GSSAPI_CLIENT=OFF -DCLIENT_PLUGIN_MYSQL_CLEAR_PASSWORD=OFF \
    -DCLIENT_PLUGIN_ZSTD=OFF -DCLIENT_PLUGIN_REMOTE_IO=OFF -DCLIENT_PLUGIN_PVIO_SHMEM=STATIC || return 1
  # The DLL beside the others (it installs into lib/mariadb), without the
  # static library built alongside.
  mkdir -p "$3/bin"
  mv "$3/lib/mariadb/libmariadb.dll" "$3/bin/"
  rm -f "$3/lib/mariadb/libmariadbclient.a"
}

# Boost is used for its headers only, which serve every target: the
# machine's own headers are linked into the target's tree, so that tree
# never needs the machine's /usr/include (whose C headers would shadow
# mingw's).
version_boost() {
  local owner
  owner=$(dpkg-query -S /usr/include/boost/version.hpp 2>/dev/null | cut -d: -f1) || return 1
  dpkg-query -W -f='${Version}' "$owner"
}
recipe_boost() {
  [ -d /usr/include/boost ] || { log "boost: /usr/include/boost is missing (libboost-dev)"; return 1; }
  mkdir -p "$3/include"
  ln -sfn /usr/include/boost "$3/include/boost"
}

# --- Driver -------------------------------------------------------------------

# What a cached result depends on besides the source version: the recipe,
# the toolchain files and the compiler.
recipe_key() { # package triple
  {
    declare -f "recipe_$1" cmake_build
    [ "$1" != openssl ] || echo "${openssl_left_out[*]}"
    # Comments aside, so that explaining a toolchain file rebuilds nothing.
    grep -hv '^[[:space:]]*#' "$here/cmake/toolchains/$2.cmake" "$here/cmake/toolchains/mingw-common.cmake"
    "$2-gcc-posix" --version 2>/dev/null | head -1
  } | sha256sum | cut -c1-16
}

# Builds one package for one target unless a result for the same key is
# cached; prints the result's folder.
build_package() { # package triple
  local pkg=$1 triple=$2 key versions=() ver prefix
  declare -F "recipe_$pkg" >/dev/null || { log "no recipe for $pkg"; return 1; }
  key=$(recipe_key "$pkg" "$triple")
  if declare -F "version_$pkg" >/dev/null; then
    versions=("$("version_$pkg")")
  else
    mapfile -t versions < <(source_versions "$(source_package "$pkg")")
  fi
  [ ${#versions[@]} -gt 0 ] && [ -n "${versions[0]}" ] || { log "$pkg: no source version known to apt"; return 1; }
  for ver in "${versions[@]}"; do
    prefix="$cache/$triple/$pkg-${ver//:/%}"
    if [ "$(cat "$prefix/.zu-key" 2>/dev/null)" = "$key" ]; then
      log "$pkg $ver for $triple: cached"
      printf '%s\n' "$prefix"
      return 0
    fi
    local src=""
    if ! declare -F "version_$pkg" >/dev/null; then
      if ! src=$(fetch_source "$(source_package "$pkg")" "$ver"); then
        log "$pkg $ver: the archive does not serve this source version, trying an older one"
        continue
      fi
    fi
    log "$pkg $ver for $triple: building"
    local work start=$SECONDS
    work=$(mktemp -d "$cache/$triple/.work-$pkg.XXXXXX")
    # A previous result stays usable until the new one is complete.
    rm -rf "$prefix.old"
    [ ! -e "$prefix" ] || mv "$prefix" "$prefix.old"
    if ! "recipe_$pkg" "$triple" "$src" "$prefix" "$work"; then
      log "$pkg $ver for $triple: FAILED (logs in $work)"
      rm -rf "$prefix"
      [ ! -e "$prefix.old" ] || mv "$prefix.old" "$prefix"
      return 1
    fi
    rm -rf "$work" "$prefix.old"
    printf '%s\n' "$key" >"$prefix/.zu-key"
    # Results of other versions of the package are dropped.
    local old
    for old in "$cache/$triple/$pkg"-*; do
      [ "$old" = "$prefix" ] || [ ! -e "$old/.zu-key" ] || rm -rf "$old"
    done
    log "$pkg $ver for $triple: built in $((SECONDS - start)) s"
    printf '%s\n' "$prefix"
    return 0
  done
  log "$pkg: none of the versions ${versions[*]} could be fetched"
  return 1
}

# Merges the current results into <triple>/sysroot as links, replacing the
# previous tree whole.
merge_sysroot() { # triple prefix...
  local triple=$1; shift
  local next="$cache/$triple/.sysroot.new" cur="$cache/$triple/sysroot" p
  rm -rf "$next"
  mkdir -p "$next/include" "$next/lib" "$next/bin"
  for p in "$@"; do
    cp -as "$p/." "$next/"
    rm -f "$next/.zu-key"
  done
  rm -rf "$cur"
  mv "$next" "$cur"
}

main() {
  local need=(cmake ninja dpkg-source apt-get)
  local t c
  for t in "${triples[@]}"; do need+=("$t-gcc-posix" "$t-g++-posix"); done
  for c in "${need[@]}"; do
    command -v "$c" >/dev/null || { log "$c is missing: run scripts/deps.sh"; exit 1; }
  done
  local needs_source=0 p
  for p in "${packages[@]}"; do
    declare -F "version_$p" >/dev/null || needs_source=1
  done
  # One run at a time per cache: two would build into the same folders.
  mkdir -p "$cache"
  exec 8>"$cache/.lock"
  if ! flock -n 8; then
    log "waiting for another run on $cache"
    flock 8
  fi
  [ $needs_source = 0 ] || ensure_deb_src
  local start=$SECONDS failed=0
  for t in "${triples[@]}"; do
    mkdir -p "$cache/$t"
    local results=() r
    # Everything cached for this target stays in its tree, including
    # packages not named in this run.
    for p in "${packages[@]}"; do
      if r=$(build_package "$p" "$t"); then results+=("$r"); else failed=1; fi
    done
    for r in "$cache/$t"/*/.zu-key; do
      [ -e "$r" ] || continue
      r=$(dirname "$r")
      [[ " ${results[*]} " == *" $r "* ]] || results+=("$r")
    done
    merge_sysroot "$t" "${results[@]}"
    log "$t: $cache/$t/sysroot"
  done
  log "done in $((SECONDS - start)) s"
  return $failed
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main
fi
