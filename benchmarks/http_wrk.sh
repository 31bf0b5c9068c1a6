#!/usr/bin/env bash
# Puts three hello-world HTTP servers under wrk in one run, on loopback:
# zu's HTTP connection (build/benchmarks/http_hello zu), nginx with one
# worker, and POCO's HTTPServer (http_hello poco). Prints requests per
# second and the 99th-percentile latency for each at each connection count.
#   benchmarks/http_wrk.sh [build-dir] [seconds]
set -euo pipefail

build=${1:-build}
seconds=${2:-10}
hello="$build/benchmarks/http_hello"
[ -x "$hello" ] || { echo "http_wrk: build $hello first (cmake --build $build --target http_hello)" >&2; exit 1; }
command -v wrk >/dev/null || { echo "http_wrk: wrk is missing (scripts/deps.sh)" >&2; exit 1; }
source "$(dirname "$0")/wrk_common.sh"

zu_port=$(free_port)
"$hello" zu "$zu_port" & pids+=($!)
poco_port=$(free_port)
"$hello" poco "$poco_port" & pids+=($!)

nginx_port=$(free_port)
start_nginx "$nginx_port" 'location / { default_type text/html; return 200 "Hello, World!"; }'

wait_port "$zu_port"; wait_port "$poco_port"; wait_port "$nginx_port"

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %6s %12s %10s\n' server conns 'req/s' p99
for conns in 50 500; do
  for server in zu nginx poco; do
    port_var="${server}_port"
    out=$(wrk -t2 -c"$conns" -d"${seconds}s" --latency "http://127.0.0.1:${!port_var}/" 2>&1)
    rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
    errors=$(grep -E 'Socket errors|Non-2xx' <<<"$out" | tr -s ' ' | paste -sd';' || true)
    printf '%-8s %6s %12s %10s %s\n' "$server" "$conns" "${rps:-?}" "${p99:-?}" "$errors"
  done
done
