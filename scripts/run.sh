#!/usr/bin/env bash
# The main job: installs what is missing for building and running (not the
# test packages), builds zuserve and the modules the library opens at run
# time (a release build in build-run/, without tests, benchmarks or
# examples, brought up to date incrementally) and starts it on
# 127.0.0.1:8080 with its built-in configuration and demo site. Arguments go
# to zuserve (e.g. `scripts/run.sh --port 9000`); ZUSERVE_PORT sets the port
# too. Ctrl+C stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

dir=build-run
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DZU_BUILD_TESTS=OFF -DZU_BUILD_BENCHMARKS=OFF -DZU_BUILD_EXAMPLES=OFF >/dev/null
fi
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target zuserve

args=("$@")
if [ -n "${ZUSERVE_PORT:-}" ]; then
  args=(--port "$ZUSERVE_PORT" "${args[@]}")
fi
port=${ZUSERVE_PORT:-8080}
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[$i]}" in
    --port|-p) port=${args[$((i + 1))]:-$port} ;;
  esac
done
echo "zuserve: open http://127.0.0.1:${port}/ in a browser (the guestbook is at /guestbook)"
exec "$dir/tools/zuserve" "${args[@]}"
