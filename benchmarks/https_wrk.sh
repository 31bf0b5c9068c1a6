#!/usr/bin/env bash
# HTTPS in one run beside nginx (one worker, the same certificate, TLS 1.3
# with the same cipher on both: nginx's own default list stops at TLS 1.2,
# where wrk would resume sessions by ticket and skip the key exchange): a 13-byte static file from
# zuserve and from nginx, and a hello answer from the hello server
# (http_hello over TLS) and from nginx's `return 200`, under wrk with
# keep-alive (-t2 -c50 -d10s), then with a new connection and a full
# handshake per request (Connection: close); then zu's client (examples/fetch) and curl fetching 1 MB from
# nginx over HTTPS, each 20 times in a row. Prints requests per second, p99
# latency and the fetch times, with the machine's load.
#
#   benchmarks/https_wrk.sh [build-dir]      (default: build)
#   DURATION=10s THREADS=2 CONNECTIONS=50 override wrk's settings.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
duration=${DURATION:-10s}
threads=${THREADS:-2}
connections=${CONNECTIONS:-50}

for tool in wrk nginx curl openssl python3; do
  command -v "$tool" >/dev/null || { echo "https_wrk: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target zuserve example_fetch http_hello >/dev/null

ulimit -n 8192 2>/dev/null || true
source benchmarks/wrk_common.sh

mkdir -p "$work/www"
printf 'Hello, world!' > "$work/www/hello.txt"   # 13 bytes
head -c 1048576 /dev/urandom > "$work/www/big.bin"
make_tls_certificate
start_zuserve_tls "$build"

hport=$(free_port)
"$build/benchmarks/http_hello" zu "$hport" "$work/server.pem" "$work/server.key" &
pids+=($!)

nport=$(free_port)
ntls=$(free_port)
start_nginx "$nport" "$(nginx_tls "$ntls") root $work/www;
    location = /hello { default_type text/plain; return 200 'Hello, World!'; }"
wait_port "$ztls"; wait_port "$ntls"; wait_port "$hport"

# What each server agrees on with a default client: the same on all three.
for port in "$ztls" "$hport" "$ntls"; do
  openssl s_client -connect "127.0.0.1:$port" -brief </dev/null 2>&1 |
    awk -v port="$port" '/Protocol version|Ciphersuite/ {$1=$1; line = line "  " $0} END {print "port " port ":" line}'
done

measure() { # name url [wrk options...]
  local name=$1 url=$2 out rps p99 errors
  shift 2
  out=$(wrk -t"$threads" -c"$connections" -d"$duration" --latency "$@" "$url")
  rps=$(awk '/^Requests\/sec/ {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
  errors=$(grep -E "Non-2xx|Socket errors" <<<"$out" | tr '\n' ' ' || true)
  printf '%-40s %12s req/s   p99 %9s   %s\n' "$name" "$rps" "$p99" "$errors"
}

echo "wrk -t$threads -c$connections -d$duration; load: $(uptime | sed 's/.*load average: //')"
measure "https keep-alive 13 B: zuserve" "https://127.0.0.1:$ztls/hello.txt"
measure "https keep-alive 13 B: nginx (1 worker)" "https://127.0.0.1:$ntls/hello.txt"
measure "https handshake per request: zuserve" "https://127.0.0.1:$ztls/hello.txt" -H "Connection: close"
measure "https handshake per request: nginx" "https://127.0.0.1:$ntls/hello.txt" -H "Connection: close"
measure "https keep-alive hello: hello server" "https://127.0.0.1:$hport/hello"
measure "https keep-alive hello: nginx (1 worker)" "https://127.0.0.1:$ntls/hello"
measure "https handshake per request: hello server" "https://127.0.0.1:$hport/hello" -H "Connection: close"
measure "https handshake per request: nginx hello" "https://127.0.0.1:$ntls/hello" -H "Connection: close"

fetch() { # name command...
  local name=$1 start end
  shift
  start=$(date +%s.%N)
  for _ in $(seq 20); do "$@" > /dev/null 2>&1; done
  end=$(date +%s.%N)
  python3 -c "import sys; s=float(sys.argv[2])-float(sys.argv[1]); print(f'%-40s %8.1f ms per MB  %8.1f MB/s' % (sys.argv[3], s*1000/20, 20/s))" \
    "$start" "$end" "$name"
}
echo "1 MB over https from nginx, 20 fetches; load: $(uptime | sed 's/.*load average: //')"
SSL_CERT_FILE="$work/server.pem" fetch "zu client (examples/fetch)" "$build/examples/example_fetch" "https://localhost:$ntls/big.bin"
fetch "curl" curl -sS --cacert "$work/server.pem" "https://localhost:$ntls/big.bin"
