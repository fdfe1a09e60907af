#!/usr/bin/env bash
# Status throughput of the bridge over HTTPS, side by side with nginx serving a body of the same
# size with the same TLS versions and certificate kind, then a long run of 100 000 status
# requests that watches the bridge's resident memory.
#
# Usage: bench/status-throughput.sh [path/to/kelm-vodod-idizor]
#   DURATION    seconds per throughput measurement (default 10)
#   REQUESTS    status requests in the long run (default 100000)
#   WARMUP      requests before the first memory reading (default 5000)
#   STEP        requests between memory readings (default 20000)
#   ORIGIN      the web application's origin the bridge allows (default: read from the
#               CMakeCache.txt of the build that holds the binary, else https://kelm.example)
#
# The bridge runs with a temporary HOME, so its certificate and settings never touch the user's.
# It builds nothing: pass the binary, or build the release preset first.
set -euo pipefail
cd "$(dirname "$0")/.."

DURATION=${DURATION:-10}
REQUESTS=${REQUESTS:-100000}
WARMUP=${WARMUP:-5000}
STEP=${STEP:-20000}

bridge_bin=$(realpath -m "${1:-build/release/src/KelmVododIdizor/kelm-vodod-idizor}")
if [ ! -x "$bridge_bin" ]; then
  echo "no bridge binary at $bridge_bin (build the release preset or pass its path)" >&2
  exit 1
fi

# The bridge answers only requests from its web application's origin, fixed at build time.
if [ -z "${ORIGIN:-}" ]; then
  dir=$(dirname "$bridge_bin")
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  web_host=$(sed -n 's/^KELM_WEB_HOST:STRING=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
  ORIGIN=https://${web_host:-kelm.example}
fi

packages=(wrk nginx-light openssl curl libnss3-tools)
scripts/install-packages "${packages[@]}"
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

bridge_authority=127.0.0.1:52719
nginx_authority=127.0.0.1:52720
bridge_url=https://$bridge_authority/v1/status
nginx_url=https://$nginx_authority/v1/status

tmp=$(mktemp -d -t kelm-status-throughput.XXXXXX)
bridge_pid=
nginx_pid=
wrk_pid=
cleanup() {
  if [ -n "$wrk_pid" ]; then kill "$wrk_pid" 2>/dev/null && wait "$wrk_pid" 2>/dev/null || true; fi
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true; fi
  if [ -n "$bridge_pid" ]; then kill "$bridge_pid" 2>/dev/null && wait "$bridge_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# TMPDIR too: the simulated printer's label folder is left behind when the bridge exits.
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/home/.config XDG_DATA_HOME=$tmp/home/.local/share
export TMPDIR=$tmp/tmp
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$TMPDIR"

# --- the bridge
"$bridge_bin" certificate setup >"$tmp/certificate.log" 2>&1 ||
  { cat "$tmp/certificate.log" >&2; exit 1; }
certutil -L -d "sql:$HOME/.pki/nssdb" -n "Kelm Vodod Idizor (127.0.0.1)" -a >"$tmp/bridge.pem"

"$bridge_bin" --headless --simulate-printer >"$tmp/bridge.log" 2>&1 &
bridge_pid=$!

# REQUIRES: $1 is the URL of a server just started as process $2, whose certificate is in $3.
wait_until_answering() {
  local url=$1 pid=$2 cacert=$3
  for _ in $(seq 200); do
    if curl -sf --max-time 2 -H "Origin: $ORIGIN" --cacert "$cacert" -o /dev/null "$url"; then return 0; fi
    kill -0 "$pid" 2>/dev/null || { echo "server for $url exited" >&2; return 1; }
    sleep 0.05
  done
  echo "no answer from $url" >&2
  return 1
}
wait_until_answering "$bridge_url" "$bridge_pid" "$tmp/bridge.pem" || { cat "$tmp/bridge.log" >&2; exit 1; }
status_body=$(curl -sf -H "Origin: $ORIGIN" --cacert "$tmp/bridge.pem" "$bridge_url")

# --- nginx, serving the bridge's own status body with the same headers
mkdir -p "$tmp/nginx/logs" "$tmp/nginx/temp"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$tmp/nginx/key.pem" -out "$tmp/nginx/cert.pem" 2>/dev/null
user_line=
if [ "$(id -u)" -eq 0 ]; then user_line="user $(id -un) $(id -gn);"; fi
nginx_body=${status_body//\\/\\\\}
nginx_body=${nginx_body//\'/\\\'}
cat >"$tmp/nginx/nginx.conf" <<EOF
$user_line
daemon off;
worker_processes ${NGINX_WORKERS:-1};
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/logs/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $tmp/nginx/temp/body;
  proxy_temp_path $tmp/nginx/temp/proxy;
  fastcgi_temp_path $tmp/nginx/temp/fastcgi;
  uwsgi_temp_path $tmp/nginx/temp/uwsgi;
  scgi_temp_path $tmp/nginx/temp/scgi;
  keepalive_timeout 0;
  server {
    listen $nginx_authority ssl;
    ssl_certificate $tmp/nginx/cert.pem;
    ssl_certificate_key $tmp/nginx/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    location = /v1/status {
      default_type application/json;
      add_header Access-Control-Allow-Origin $ORIGIN;
      add_header Vary Origin;
      add_header Cache-Control no-store;
      return 200 '$nginx_body';
    }
  }
}
EOF
"$nginx_bin" -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -e "$tmp/nginx/logs/error.log" \
  >"$tmp/nginx/logs/stdout.log" 2>&1 &
nginx_pid=$!
wait_until_answering "$nginx_url" "$nginx_pid" "$tmp/nginx/cert.pem" ||
  { cat "$tmp/nginx/logs/error.log" >&2; exit 1; }
nginx_body_size=$(curl -sf -H "Origin: $ORIGIN" --cacert "$tmp/nginx/cert.pem" "$nginx_url" | wc -c)

# --- wrk helpers
# Prints "requests seconds errors" from wrk's own summary; errors is "0", or the sum of socket
# errors and answers with a status of 400 or more followed by their kinds, e.g. "3(read=2,status=1)".
cat >"$tmp/summary.lua" <<'EOF'
function done(summary, latency, requests)
  local e, total, kinds = summary.errors, 0, {}
  for _, kind in ipairs({"connect", "read", "write", "timeout", "status"}) do
    if e[kind] > 0 then
      total = total + e[kind]
      table.insert(kinds, kind .. "=" .. e[kind])
    end
  end
  local errors = total == 0 and "0" or string.format("%d(%s)", total, table.concat(kinds, ","))
  io.write(string.format("%d %.6f %s\n", summary.requests, summary.duration / 1e6, errors))
end
EOF
# As summary.lua, and each thread stops once it has had the number of answers given as the first
# argument, then adds a line to the file given as the second; the caller interrupts wrk when every
# thread has, so wrk reports at once rather than after its whole duration.
cat >"$tmp/count.lua" <<'EOF'
local share, marks, answered
function init(args)
  share = tonumber(args[1])
  marks = args[2]
  answered = 0
end
function response(status, headers, body)
  answered = answered + 1
  if answered == share then
    local f = io.open(marks, "a")
    f:write("stopped\n")
    f:close()
    wrk.thread:stop()
  end
end
EOF
cat "$tmp/summary.lua" >>"$tmp/count.lua"

# REQUIRES: $1 authority, $2 threads, $3 connections, $4 URL.
# Sets `rate` (requests/s) and `errors` (as summary.lua prints them).
throughput() {
  local out requests seconds
  out=$(wrk -t"$2" -c"$3" -d"${DURATION}s" --timeout 5s -s "$tmp/summary.lua" \
    -H "Host: $1" -H "Origin: $ORIGIN" -H "Connection: close" "$4" | tail -n 1)
  read -r requests seconds errors <<<"$out"
  rate=$(awk -v r="$requests" -v s="$seconds" 'BEGIN { printf "%.0f", r / s }')
}

# REQUIRES: $1 requests, a multiple of the 2 threads.
# Sets `requests` and `errors` (as summary.lua prints them); a thread may complete a few more
# requests in the turn that stops it.
count_requests() {
  local marks=$tmp/marks out
  : >"$marks"
  wrk -t2 -c16 -d600s --timeout 5s -s "$tmp/count.lua" \
    -H "Host: $bridge_authority" -H "Origin: $ORIGIN" -H "Connection: close" \
    "$bridge_url" -- "$(($1 / 2))" "$marks" >"$tmp/wrk.out" &
  wrk_pid=$!
  while [ "$(wc -l <"$marks")" -lt 2 ] && kill -0 "$wrk_pid" 2>/dev/null; do sleep 0.05; done
  kill -INT "$wrk_pid" 2>/dev/null || true
  wait "$wrk_pid"
  wrk_pid=
  out=$(tail -n 1 "$tmp/wrk.out")
  read -r requests _ errors <<<"$out"
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$bridge_pid/status"; }

echo "status body: bridge $(printf %s "$status_body" | wc -c) bytes, nginx $nginx_body_size bytes"
echo "machine: $(nproc) cores; wrk and both servers share them; nginx runs ${NGINX_WORKERS:-1} worker(s)"
echo "HTTPS, Connection: close (one TLS handshake per request), ${DURATION} s per figure"
echo
printf '%-8s %8s %12s %-18s %13s  %s\n' target clients requests/s errors bridge/nginx target
for clients in 1 16; do
  threads=$((clients == 1 ? 1 : 2))
  throughput "$bridge_authority" "$threads" "$clients" "$bridge_url"
  bridge_rate=$rate bridge_errors=$errors
  throughput "$nginx_authority" "$threads" "$clients" "$nginx_url"
  nginx_rate=$rate nginx_errors=$errors
  ratio=$(awk -v b="$bridge_rate" -v n="$nginx_rate" 'BEGIN { printf "%.2f", n ? b / n : 0 }')
  verdict=$(awk -v r="$ratio" 'BEGIN { print (r >= 0.7 ? "met" : "MISSED") }')
  printf '%-8s %8d %12d %-18s %13s  %s\n' nginx "$clients" "$nginx_rate" "$nginx_errors" "" ""
  printf '%-8s %8d %12d %-18s %13s  %s\n' bridge "$clients" "$bridge_rate" "$bridge_errors" "$ratio" \
    ">= 0.7 x nginx: $verdict"
done

echo
echo "$REQUESTS status requests at 16 clients against the bridge (resident memory after each step)"
row() { printf '%-12s %10s %-20s %10s\n' "$@"; }
row after requests errors-in-step VmRSS-KiB
row start 0 0 "$(rss_kib)"
count_requests "$WARMUP"
row warm-up "$requests" "$errors" "$(rss_kib)"
asked=0
total=0
total_errors=0
while ((asked < REQUESTS)); do
  step=$((REQUESTS - asked < STEP ? REQUESTS - asked : STEP))
  asked=$((asked + step))
  count_requests "$step"
  total=$((total + requests))
  step_errors=${errors%%"("*}
  total_errors=$((total_errors + step_errors))
  row "+$step" "$total" "$errors" "$(rss_kib)"
done
echo "after the warm-up: $total requests, $total_errors errors"
kill -0 "$bridge_pid" || { echo "the bridge exited" >&2; exit 1; }
