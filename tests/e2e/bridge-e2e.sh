#!/usr/bin/env bash
# The bridge as a user runs it, in a throwaway home: `certificate setup`, the program started
# with the simulated printer, then real clients over HTTPS that trust only the certificate the
# program made: curl for the API's answers and a print, headless Chromium for a page on an
# allowed origin. Ends with `certificate remove`.
#
# usage: bridge-e2e.sh PROGRAM WEB_ORIGIN FIXTURE_DIR
set -euo pipefail

program=$1
webOrigin=$2
fixtures=$3
port=52719
nickname="Kelm Vodod Idizor (127.0.0.1)"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  if [ -f "$work/bridge.log" ]; then
    echo "--- bridge log" >&2
    cat "$work/bridge.log" >&2
  fi
  exit 1
}

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export TMPDIR=$work/tmp
mkdir -p "$HOME" "$TMPDIR"

if curl -s -o /dev/null --max-time 2 -k "https://127.0.0.1:$port/"; then
  fail "something already listens on 127.0.0.1:$port"
fi

# The settings of a developer: the two local origins are allowed as well.
mkdir -p "$XDG_CONFIG_HOME/Kelm"
printf '[General]\nallowDevOrigins=true\n' >"$XDG_CONFIG_HOME/Kelm/kelm-vodod-idizor.conf"

out=$("$program" certificate status) || fail "certificate status failed"
[ "$out" = "certificate: missing" ] || fail "certificate status on a fresh home said: $out"

out=$("$program" certificate setup) || fail "certificate setup failed: $out"
grep -q '^certificate: trusted until 20[0-9][0-9]-[0-9][0-9]-[0-9][0-9]$' <<<"$out" ||
  fail "certificate setup said: $out"
certutil -L -d "sql:$HOME/.pki/nssdb" -n "$nickname" -a >"$work/ca.pem" ||
  fail "the certificate is not in the browsers' database"

if "$program" --no-such-option 2>"$work/usage.txt"; then fail "an unknown option was accepted"; fi
grep -q '^usage:' "$work/usage.txt" || fail "an unknown option gave no usage line"

"$program" --headless --simulate-printer 2>"$work/bridge.log" &
pids+=($!)

api() {
  curl -sS --cacert "$work/ca.pem" --max-time 30 -D "$work/headers" -o "$work/body" \
    -w '%{http_code}' "$@"
}

for _ in $(seq 1 100); do
  code=$(api "https://127.0.0.1:$port/v1/status" -H "Origin: $webOrigin" 2>/dev/null) && break
  sleep 0.1
done
[ "${code:-}" = 200 ] || fail "no status answer from the bridge (last: ${code:-none})"

# The status of the simulated printer, with the CORS headers of the allowed origin.
expected='{"app":"Kelm Vodod Idizor","printer":{"connected":true,"name":"TEPRA PRO (simulated)","state":"ready","tapeMm":18},"tapes":[9,12,18,24],"version":"'
grep -q "^$(printf '%s' "$expected" | sed 's/[][\.*^$]/\\&/g')" "$work/body" ||
  fail "status body: $(cat "$work/body")"
grep -qi "^access-control-allow-origin: $webOrigin" "$work/headers" || fail "no CORS header for $webOrigin"

# A print: the label comes out of the simulated printer as the same picture.
folder=$(sed -n 's/.*printed labels go to //p' "$work/bridge.log" | head -n1)
[ -d "$folder" ] || fail "the program named no folder for printed labels"
printf '{"tapeMm":18,"labels":[{"png":"%s"}]}' "$(base64 -w0 "$fixtures/label-18mm.png")" >"$work/print.json"
code=$(api "https://127.0.0.1:$port/v1/print" -H "Origin: $webOrigin" \
  -H 'Content-Type: application/json' --data-binary "@$work/print.json")
[ "$code" = 200 ] || fail "print answered $code: $(cat "$work/body")"
[ "$(cat "$work/body")" = '{"printed":1}' ] || fail "print body: $(cat "$work/body")"
for _ in $(seq 1 50); do [ -f "$folder/label-0001.png" ] && break; sleep 0.1; done
cmp -s "$fixtures/label-18mm.png" "$folder/label-0001.png" ||
  fail "the printed label differs from the one sent"

# The policy: a foreign Host, a foreign Origin.
code=$(api "https://127.0.0.1:$port/v1/status" -H "Host: evil.example:$port" -H "Origin: $webOrigin")
[ "$code" = 421 ] && [ "$(cat "$work/body")" = '{"code":"BAD_HOST"}' ] ||
  fail "a foreign Host got $code $(cat "$work/body")"
code=$(api "https://127.0.0.1:$port/v1/status" -H "Origin: https://evil.example")
[ "$code" = 403 ] && [ "$(cat "$work/body")" = '{"code":"ORIGIN_NOT_ALLOWED"}' ] ||
  fail "a foreign Origin got $code $(cat "$work/body")"
if grep -qi '^access-control-' "$work/headers"; then fail "a foreign Origin got CORS headers"; fi

# A page on an allowed origin, in a real browser that trusts only what the setup trusted.
if command -v chromium >/dev/null && command -v python3 >/dev/null; then
  mkdir -p "$work/site"
  cp "$fixtures/status-page.html" "$work/site/index.html"
  python3 -m http.server 5173 --bind 127.0.0.1 --directory "$work/site" >"$work/site.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 50); do curl -s -o /dev/null "http://localhost:5173/" && break; sleep 0.1; done
  dom=$(timeout 90 chromium --headless --no-sandbox --disable-gpu --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/chromium" --virtual-time-budget=15000 \
    --dump-dom "http://localhost:5173/index.html" 2>"$work/chromium.log") || true
  grep -q 'bridge-status:ready:18' <<<"$dom" || {
    echo "--- page" >&2
    echo "$dom" >&2
    fail "the browser page did not get the printer's status"
  }
else
  fail "chromium and python3 are needed for the browser check"
fi

kill "${pids[@]}"
wait 2>/dev/null || true
pids=()

out=$("$program" certificate remove) || fail "certificate remove failed: $out"
[ "$out" = "certificate: missing" ] || fail "certificate remove said: $out"
if certutil -L -d "sql:$HOME/.pki/nssdb" -n "$nickname" >/dev/null 2>&1; then
  fail "the certificate is still trusted after removal"
fi
echo "ok"
