# Sourced by the wrk scripts: a work folder removed at exit together with
# every process whose pid is added to `pids`, free loopback ports, and nginx
# with one worker as the peer.

work=$(mktemp -d /tmp/zu_wrk_XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# Waits up to five seconds for something to listen on the port.
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}

# start_nginx PORT SERVER-DIRECTIVES: nginx in the background, one worker,
# keep-alive without a request limit, no access log; its files in $work/nginx.
start_nginx() {
  local port=$1 directives=$2 dir="$work/nginx"
  local nginx
  nginx=$(command -v nginx || echo /usr/sbin/nginx)
  [ -x "$nginx" ] || { echo "nginx is missing (scripts/deps.sh installs it)" >&2; exit 1; }
  mkdir -p "$dir"
  cat > "$dir/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  default_type application/octet-stream;
  types { text/plain txt; }
  keepalive_requests 1000000;
  keepalive_timeout 120s;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  server {
    listen 127.0.0.1:$port;
    $directives
  }
}
CONF
  # As root, the worker would run as nobody and could not read files under /tmp.
  [ "$(id -u)" -eq 0 ] && sed -i '1i user root;' "$dir/nginx.conf"
  "$nginx" -p "$dir" -c "$dir/nginx.conf" 2>>"$dir/error.log" &
  pids+=($!)
}

# For the HTTPS scripts: a self-signed P-256 certificate for localhost and
# 127.0.0.1 in $work/server.pem and $work/server.key.
make_tls_certificate() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout "$work/server.key" \
    -out "$work/server.pem" -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 2>/dev/null
}

# zuserve (from build folder $1) serving $work/www over plain HTTP on $zport
# and over HTTPS with that certificate on $ztls, both chosen here; its pid
# in $zuserve_pid.
start_zuserve_tls() {
  zport=$(free_port)
  ztls=$(free_port)
  cat > "$work/zuserve.xml" <<XML
<zuserve>
  <listen address="127.0.0.1" port="$zport" idleTimeout="120000" backlog="1024" />
  <site root="www" />
  <log level="1" />
  <tls cert="server.pem" key="server.key" port="$ztls" />
</zuserve>
XML
  "$1/tools/zuserve" --config "$work/zuserve.xml" > "$work/zuserve.log" 2>&1 &
  zuserve_pid=$!
  pids+=($zuserve_pid)
}

# nginx's lines for HTTPS on port $1 with that certificate. TLS 1.3 is named
# as zu speaks it: nginx's own default list stops at TLS 1.2, where wrk
# would resume sessions by ticket and skip the key exchange.
nginx_tls() {
  echo "listen 127.0.0.1:$1 ssl; ssl_certificate $work/server.pem; ssl_certificate_key $work/server.key; ssl_protocols TLSv1.2 TLSv1.3;"
}
