#!/usr/bin/env bash
# Builds the API reference from include/zu/ and docs/families/ with Doxygen
# into BUILD_DIR/docs/html, and compiles the example of every family page
# against the headers and BUILD_DIR's libzu and runs it, so the examples
# stay true.
# Fails on any Doxygen warning (an undocumented class or member, a broken
# reference) and on an example that does not build or run.
#
#   scripts/docs.sh [BUILD_DIR]     (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=$build/docs
rm -rf "$out"
mkdir -p "$out"

(cat docs/Doxyfile; echo "OUTPUT_DIRECTORY = $out"; echo "WARN_LOGFILE = $out/warnings.log") | doxygen - >/dev/null
# Doxygen continues a warning on indented lines; count the warnings only.
count=$(grep -c -E '(warning|error):' "$out/warnings.log" || true)
if [ "$count" -ne 0 ]; then
  cat "$out/warnings.log" >&2
  echo "docs: $count warnings" >&2
  exit 1
fi
[ -f "$out/html/index.html" ] || { echo "docs: no HTML was written" >&2; exit 1; }

# Every ```cpp block of a family page is a whole program.
lib=$(find "$build" -maxdepth 1 -name 'libzu.so' | head -1)
[ -n "$lib" ] || { echo "docs: $build holds no libzu.so to link the examples" >&2; exit 1; }
examples=$out/examples
mkdir -p "$examples"
for page in docs/families/*.md; do
  awk -v stem="$examples/$(basename "$page" .md)" '
    /^```cpp$/ { n++; file = stem "-" n ".cpp"; inside = 1; next }
    /^```$/ { inside = 0; next }
    inside { print > file }' "$page"
done
built=0
for source in "$examples"/*.cpp; do
  [ -e "$source" ] || continue
  g++ -std=c++17 -Wall -Wextra -Werror -Iinclude -o "${source%.cpp}" "$source" "$lib" -pthread ||
    { echo "docs: the example $source (from docs/families) does not build" >&2; exit 1; }
  LD_LIBRARY_PATH="$(dirname "$lib")" "${source%.cpp}" >"${source%.cpp}.out" ||
    { cat "${source%.cpp}.out"; echo "docs: the example $source (from docs/families) fails" >&2; exit 1; }
  built=$((built + 1))
done
echo "docs: $out/html/index.html ($built examples built)"
