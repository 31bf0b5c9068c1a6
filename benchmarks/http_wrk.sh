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
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "http_wrk: nginx is missing (scripts/deps.sh)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "http_wrk: nothing listens on $1" >&2
  return 1
}

zu_port=$(free_port)
"$hello" zu "$zu_port" & pids+=($!)
poco_port=$(free_port)
"$hello" poco "$poco_port" & pids+=($!)

nginx_port=$(free_port)
mkdir -p "$work/logs"
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 2048; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    location / { default_type text/html; return 200 "Hello, World!"; }
  }
}
CONF
"$nginx" -p "$work" -c "$work/nginx.conf" & pids+=($!)

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
