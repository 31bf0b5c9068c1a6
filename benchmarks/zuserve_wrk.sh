#!/usr/bin/env bash
# zuserve under wrk (-t2 -c50 -d10s, keep-alive), in one run beside its
# peers: a 13-byte static file from zuserve, from nginx (one worker) and from
# POCO's HTTPServer (benchmarks/poco_static_server); then a zuserve script
# route answering a small text; then zuserve's resident memory with 1,000
# idle keep-alive connections. Prints requests per second and p99 latency.
#
#   benchmarks/zuserve_wrk.sh [build-dir]      (default: build)
#   DURATION=10s THREADS=2 CONNECTIONS=50 override wrk's settings.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
duration=${DURATION:-10s}
threads=${THREADS:-2}
connections=${CONNECTIONS:-50}

for tool in wrk nginx curl python3; do
  command -v "$tool" >/dev/null || { echo "zuserve_wrk: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target zuserve poco_static_server >/dev/null

ulimit -n 8192 2>/dev/null || true
source benchmarks/wrk_common.sh

mkdir -p "$work/www" "$work/js"
printf 'Hello, world!' > "$work/www/hello.txt"   # 13 bytes
cat > "$work/js/text.js" <<'JS'
function handle(request) {
  return { status: 200, headers: { 'Content-Type': 'text/plain; charset=utf-8' }, body: 'Hello, world!' };
}
JS


zport=$(free_port)
cat > "$work/zuserve.xml" <<XML
<zuserve>
  <listen address="127.0.0.1" port="$zport" idleTimeout="120000" backlog="1024" />
  <site root="www" scripts="js" />
  <log level="1" />
  <scripts contexts="4" />
</zuserve>
XML
"$build/tools/zuserve" --config "$work/zuserve.xml" > "$work/zuserve.log" 2>&1 &
zpid=$!
pids+=("$zpid")

nport=$(free_port)
start_nginx "$nport" "root $work/www;"

pport=$(free_port)
"$build/benchmarks/poco_static_server" "$work/www" "$pport" > "$work/poco.log" 2>&1 &
pids+=($!)

wait_port "$zport"; wait_port "$nport"; wait_port "$pport"

# "name rps p99"
measure() { # name url
  local out rps p99
  out=$(wrk -t"$threads" -c"$connections" -d"$duration" --latency "$2")
  rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
  errors=$(grep -E "Non-2xx|Socket errors" <<<"$out" | tr '\n' ' ' || true)
  printf '%-28s %12s req/s   p99 %9s   %s\n' "$1" "$rps" "$p99" "$errors"
  echo "$rps" > "$work/$3.rps"
}

echo "wrk -t$threads -c$connections -d$duration, keep-alive; load: $(uptime | sed 's/.*load average: //')"
measure "static 13 B: zuserve" "http://127.0.0.1:$zport/hello.txt" zs
measure "static 13 B: nginx (1 worker)" "http://127.0.0.1:$nport/hello.txt" ng
measure "static 13 B: POCO HTTPServer" "http://127.0.0.1:$pport/hello.txt" po
measure "script route: zuserve" "http://127.0.0.1:$zport/text" js

python3 - "$work" <<'PY'
import sys
w = sys.argv[1]
r = {k: float(open(f"{w}/{k}.rps").read() or 0) for k in ("zs", "ng", "po", "js")}
def ratio(a, b): return r[a] / r[b] if r[b] else float("nan")
print(f"zuserve/nginx static {ratio('zs','ng'):.2f} (goal >= 0.5)   zuserve/POCO static {ratio('zs','po'):.2f} (goal >= 1.5)"
      f"   script/static {ratio('js','zs'):.2f} (goal >= 0.3)")
PY

rss() { awk '/^VmRSS/ {print $2 " " $3}' "/proc/$1/status"; }
echo "zuserve RSS before idle connections: $(rss "$zpid")"
python3 - "$zport" 1000 <<'PY' &
import socket, sys, time
port, count = int(sys.argv[1]), int(sys.argv[2])
held = []
for i in range(count):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n")
    data = b""
    while not data.endswith(b"Hello, world!"):
        data += s.recv(4096)
    held.append(s)
print(f"{count} keep-alive connections open and idle", flush=True)
time.sleep(8)
PY
holder=$!
sleep 5
echo "zuserve RSS with 1,000 idle keep-alive connections: $(rss "$zpid") ($(curl -s "http://127.0.0.1:$zport/status" | grep -o '"connections":[0-9]*'))"
wait "$holder" || true
