#!/usr/bin/env bash
# The main job: installs what is missing, builds zuserve (a release build in
# build/, reused and brought up to date incrementally) and starts it on
# 127.0.0.1:8080 with its built-in configuration and demo site. Arguments go
# to zuserve (e.g. `scripts/run.sh --port 9000`); ZUSERVE_PORT sets the port
# too. Ctrl+C stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target zuserve

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
exec build/tools/zuserve "${args[@]}"
