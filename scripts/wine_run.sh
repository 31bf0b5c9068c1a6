#!/usr/bin/env bash
# Runs a Windows program under Wine without a prompt, a window or a stray
# message, for ctest, test discovery and by hand:
#   scripts/wine_run.sh [--wine=PATH] [--dlls=DIR:DIR...] PROGRAM.exe [ARGS...]
# --wine picks the loader (default /usr/lib/wine/wine64); --dlls lists the
# folders (host paths) where the program's DLLs are looked up after its own
# folder: the mingw runtime, the cross-built libraries, the build tree.
# ZU_WINEPATH adds more folders the same way.
#
# The Wine prefix lives outside the source tree (WINEPREFIX, else
# ${XDG_CACHE_HOME:-~/.cache}/zu-cross/wine/<loader>) and is made on first
# use. Before the program starts, a Wine server is made resident for that
# prefix and its session booted, both detached from our output: the
# services Wine starts for the first program of a session inherit that
# program's descriptors, and a runner reading its output through a pipe
# (ctest) would wait on them until the server exits. A server started here
# stays ZU_WINE_PERSIST seconds (default 120) after its last program; one
# started before (scripts/windows_stage.sh starts its own) is used as it is.
# A caller that did all this itself sets ZU_WINE_READY=1.
set -euo pipefail

wine=/usr/lib/wine/wine64
dlls=""
while [ $# -gt 0 ]; do
  case $1 in
    --wine=*) wine=${1#--wine=} ;;
    --dlls=*) dlls=${1#--dlls=} ;;
    --) shift; break ;;
    *) break ;;
  esac
  shift
done
[ $# -gt 0 ] || { echo "usage: $0 [--wine=PATH] [--dlls=DIR:DIR...] PROGRAM [ARGS...]" >&2; exit 2; }

loader=$(basename "$wine")
server="$(dirname "$wine")/wineserver"
[ -x "$server" ] || server=wineserver
export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/zu-cross/wine/$loader}
# Wine's own messages off, but for a DLL that cannot be loaded: without
# that line a program missing one just exits with 53.
export WINEDEBUG=${WINEDEBUG:--all,err+module}
# No Mono or Gecko installer dialog when a prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
case $loader in
  wine64) export WINEARCH=win64 ;;
esac

# Host folders become Z: paths (Wine maps / to Z:), separated by ';'.
winepath=""
IFS=: read -r -a dirs <<<"${dlls}${ZU_WINEPATH:+:$ZU_WINEPATH}"
for d in "${dirs[@]}"; do
  [ -n "$d" ] || continue
  winepath+="${winepath:+;}Z:${d//\//\\}"
done
export WINEPATH="${winepath}${WINEPATH:+;$WINEPATH}"

# A caller that made the server resident and booted the session itself says
# so with ZU_WINE_READY=1, sparing each program the check.
if [ "${ZU_WINE_READY:-0}" != 1 ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  {
    flock 9
    # The server and the services outlive us: they get neither our output
    # nor the lock's descriptor. wineboot makes the prefix on first use.
    if [ ! -e "$WINEPREFIX/.zu-booted" ]; then
      "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
      touch "$WINEPREFIX/.zu-booted"
    fi
    # Exits with 2 when a server already runs for this prefix; a new one
    # gets its session booted here.
    if "$server" -p"${ZU_WINE_PERSIST:-120}" </dev/null >/dev/null 2>&1 9>&-; then
      "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
    fi
  } 9>"$WINEPREFIX.lock"
fi

exec "$wine" "$@"
