#!/usr/bin/env bash
# Runs zuserve.exe under Wine as a user would and checks it end to end:
# it starts on a free port with a configuration naming its folders by
# Windows paths, serves a file and /status to the Linux curl, answers a
# script route with 503 and says once in its log that scripting is not
# built in, serves HTTPS with --tls, opens its SQLite database with
# --database, and ends cleanly (status 0) on Ctrl+C, which Wine delivers to
# the program as a console event when its process gets SIGINT.
#
#   scripts/windows_zuserve_check.sh [--dlls=DIR:DIR...] [--tls] [--database] ZUSERVE_EXE
#
# --dlls names folders for the program's DLLs besides its own (see
# scripts/wine_run.sh); a program from the package needs none. WINEPREFIX
# and the Wine server are the caller's (scripts/wine_run.sh makes them
# otherwise).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

dlls=()
tls=0
database=0
while [ $# -gt 1 ]; do
  case $1 in
    --dlls=*) dlls=("$1") ;;
    --tls) tls=1 ;;
    --database) database=1 ;;
    *) echo "windows_zuserve_check: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
[ $# -eq 1 ] || { echo "usage: $0 [--dlls=DIR:DIR...] [--tls] [--database] ZUSERVE_EXE" >&2; exit 2; }
exe=$1
[ -f "$exe" ] || { echo "windows_zuserve_check: no program $exe" >&2; exit 2; }

fail() {
  echo "windows_zuserve_check: $*" >&2
  [ ! -f "${work:-}/log" ] || sed 's/^/  | /' "$work/log" >&2
  exit 1
}
# Wine maps the Linux root to drive Z:.
windows() { printf 'Z:%s' "${1//\//\\}"; }

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/zuserve-win.XXXXXX")
server=""
cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then kill -KILL "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site/www/sub dir" "$work/site/js"
page="zuserve on Windows $RANDOM$RANDOM"
echo "$page" >"$work/site/www/index.html"
echo "nested" >"$work/site/www/sub dir/a.txt"
echo 'function handle(request) { return "never"; }' >"$work/site/js/hello.js"
db=""
[ $database = 0 ] || db="<database connection=\"sqlite://$work/state/zuserve.db\"/>"
mkdir -p "$work/state"
cat >"$work/site/zuserve.xml" <<EOF
<zuserve>
  <listen address="127.0.0.1" port="0"/>
  <site root="$(windows "$work/site/www")" scripts="$(windows "$work/site/js")"/>
  $db
  <log level="2"/>
</zuserve>
EOF
args=(--config "$(windows "$work/site/zuserve.xml")")
if [ $tls = 1 ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 || fail "openssl could not make a certificate"
  args+=(--tls-cert "$(windows "$work/cert.pem")" --tls-key "$(windows "$work/key.pem")" --tls-port 0)
fi

# wine_run.sh ends in exec: $server is the Windows program's own process.
"$top/scripts/wine_run.sh" "${dlls[@]}" "$exe" "${args[@]}" >"$work/log" 2>&1 </dev/null &
server=$!
url=""
for _ in $(seq 600); do
  url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$work/log" | head -1 || true)
  [ -z "$url" ] && kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
[ -n "$url" ] || fail "zuserve.exe did not start"
[ "$(curl -fsS "$url")" = "$page" ] || fail "$url did not give the page"
[ "$(curl -fsS "${url}sub%20dir/a.txt")" = nested ] || fail "a file in a folder with a space was not served"
curl -fsS "${url}status" | grep -q '"requests":' || fail "/status did not answer"
code=$(curl -s -o /dev/null -w '%{http_code}' "${url}hello")
[ "$code" = 503 ] || fail "the script route answered $code, not 503"
code=$(curl -s -o /dev/null -w '%{http_code}' "${url}../../../etc/passwd" --path-as-is)
[ "$code" = 404 ] || [ "$code" = 400 ] || [ "$code" = 403 ] || fail "a path out of the root answered $code"
if [ $tls = 1 ]; then
  tls_url=$(grep -o 'https://127\.0\.0\.1:[0-9]*/' "$work/log" | head -1 || true)
  [ -n "$tls_url" ] || fail "zuserve.exe did not serve HTTPS"
  [ "$(curl -fsS --cacert "$work/cert.pem" "${tls_url/127.0.0.1/localhost}")" = "$page" ] ||
    fail "$tls_url did not give the page"
fi
if [ $database = 1 ]; then
  [ -s "$work/state/zuserve.db" ] || fail "zuserve.exe made no database file"
fi

kill -INT "$server"
status=""
for _ in $(seq 300); do
  kill -0 "$server" 2>/dev/null || { status=0; wait "$server" || status=$?; break; }
  sleep 0.1
done
[ -n "$status" ] || fail "zuserve.exe did not stop within 30 s of Ctrl+C"
server=""
[ "$status" = 0 ] || fail "zuserve.exe ended with status $status on Ctrl+C"
grep -q '^zuserve: stopped' "$work/log" || fail "zuserve.exe did not stop by its own shutdown"
lines=$(grep -c 'scripts are off (scripting is not built into this build); their routes answer 503' "$work/log" || true)
[ "$lines" = 1 ] || fail "the log says $lines times (not once) that scripting is not built in"
if grep -qi 'unhandled\|page fault\|err:' "$work/log"; then fail "Wine reported a fault"; fi
echo "windows_zuserve_check: $(basename "$exe") served $url$([ $tls = 0 ] || echo " and HTTPS")$([ $database = 0 ] || echo ", opened its database"), stopped on Ctrl+C with status 0 ($((SECONDS - started)) s)"
