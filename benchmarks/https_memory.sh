#!/usr/bin/env bash
# Memory per idle HTTPS keep-alive connection, in one run beside nginx (one
# worker, the same certificate): for each server, 1,000 TLS connections are
# opened by one client, each completes its handshake and one request, and
# stays open; the server's resident size (its worker's, for nginx) after
# that, less its size with one such connection, divided by 1,000. The
# servers: the hello server (http_hello zu over TLS), zuserve's static file,
# and nginx's, each started afresh for every round. Prints kB per
# connection, with the machine's load.
#
#   benchmarks/https_memory.sh [build-dir]      (default: build)
#   CONNECTIONS=1000 ROUNDS=2 override the count and the repetitions.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
connections=${CONNECTIONS:-1000}
rounds=${ROUNDS:-2}

for tool in nginx openssl python3; do
  command -v "$tool" >/dev/null || { echo "https_memory: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target zuserve http_hello >/dev/null

ulimit -n 8192 2>/dev/null || true
source benchmarks/wrk_common.sh

mkdir -p "$work/www"
printf 'Hello, world!' > "$work/www/hello.txt"
make_tls_certificate

# The client: opens the connections, reads one answer on each, prints
# "ready", and keeps them until it is ended.
cat > "$work/client.py" <<'PY'
import signal, socket, ssl, sys
port, count, path, cafile = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
context = ssl.create_default_context(cafile=cafile)
kept = []
for _ in range(count):
    raw = socket.create_connection(("127.0.0.1", port))
    tls = context.wrap_socket(raw, server_hostname="localhost")
    tls.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode())
    answer = b""
    while b"Hello" not in answer and b"hello" not in answer:
        block = tls.recv(4096)
        if not block:
            sys.exit(f"port {port}: connection closed before the answer")
        answer += block
    kept.append(tls)
print("ready", flush=True)
signal.pause()
PY

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# client PORT COUNT PATH: starts the client, waits until its connections are
# open (two minutes at most) and sets client_pid.
client() {
  local out="$work/client.$RANDOM"
  python3 "$work/client.py" "$1" "$2" "$3" "$work/server.pem" > "$out" &
  client_pid=$!
  for _ in $(seq 1200); do
    grep -q ready "$out" 2>/dev/null && return 0
    kill -0 "$client_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "https_memory: the client on port $1 did not get its connections" >&2
  exit 1
}

# kb_per_connection PID PORT PATH: the resident growth per connection.
kb_per_connection() {
  local pid=$1 port=$2 path=$3 before after one
  client "$port" 1 "$path"
  one=$client_pid
  before=$(rss "$pid")
  client "$port" "$connections" "$path"
  sleep 1
  after=$(rss "$pid")
  kill "$client_pid" "$one"
  wait "$client_pid" "$one" 2>/dev/null || true
  python3 -c "import sys; print(f'{(int(sys.argv[2])-int(sys.argv[1]))/int(sys.argv[3]):8.1f} kB per connection  ({sys.argv[1]} -> {sys.argv[2]} kB)')" \
    "$before" "$after" "$connections"
}

# Starts the three servers afresh; each round measures new processes.
start_servers() {
  hport=$(free_port)
  "$build/benchmarks/http_hello" zu "$hport" "$work/server.pem" "$work/server.key" &
  hello_pid=$!
  pids+=($hello_pid)

  start_zuserve_tls "$build"

  nport=$(free_port)
  ntls=$(free_port)
  start_nginx "$nport" "$(nginx_tls "$ntls") root $work/www;"
  nginx_master=$!
  wait_port "$hport"; wait_port "$ztls"; wait_port "$ntls"
  nginx_worker=""
  for _ in $(seq 100); do
    nginx_worker=$(awk '{print $1}' "/proc/$nginx_master/task/$nginx_master/children" 2>/dev/null)
    [ -n "$nginx_worker" ] && break
    sleep 0.05
  done
}

stop_servers() {
  kill "$hello_pid" "$zuserve_pid" "$nginx_master"
  wait "$hello_pid" "$zuserve_pid" "$nginx_master" 2>/dev/null || true
  rm -rf "$work/nginx"
  pids=()
}

echo "$connections idle https keep-alive connections, each after one request; load: $(uptime | sed 's/.*load average: //')"
for round in $(seq "$rounds"); do
  start_servers
  printf '%-32s ' "hello server (zu), round $round:"; kb_per_connection "$hello_pid" "$hport" /
  printf '%-32s ' "zuserve, round $round:"; kb_per_connection "$zuserve_pid" "$ztls" /hello.txt
  printf '%-32s ' "nginx (1 worker), round $round:"; kb_per_connection "$nginx_worker" "$ntls" /hello.txt
  stop_servers
done
echo "load: $(uptime | sed 's/.*load average: //')"
