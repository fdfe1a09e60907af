#!/usr/bin/env bash
# The bridge with Bluetooth printers, as a user with a paired TEPRA PRO runs it: a fake
# bluetoothd on a private system bus (never the machine's), with tepra-simulator printers at the
# other end of its sockets, and a private session bus for the bridge's single instance and the
# command line. No --simulate-printer: the program finds, probes and chooses the printer itself.
#
# usage: bluetooth-e2e.sh PROGRAM SIMULATOR WEB_ORIGIN FIXTURE_DIR SUPPORT_DIR PYTHON
set -euo pipefail

program=$1
simulator=$2
webOrigin=$3
fixtures=$4
support=$5
python=$6
port=52719

work=$(mktemp -d)
pids=()
fakePid=
bridgePid=
cleanup() {
  for pid in $bridgePid $fakePid "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in bridge fake tepra garbage silent cover; do
    if [ -f "$work/$log.log" ]; then
      echo "--- $log log" >&2
      tail -n 60 "$work/$log.log" >&2
    fi
  done
  exit 1
}

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$TMPDIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The program's waits, cut to a fifth: a status query 0.6 s, the idle close 12 s.
export KELM_VODOD_IDIZOR_TIME_SCALE=0.2

if curl -s -o /dev/null --max-time 2 -k "https://127.0.0.1:$port/"; then
  fail "something already listens on 127.0.0.1:$port"
fi

# Two private buses: one stands for the system bus (bluetoothd), one for the session bus. Started
# from this shell (not a command substitution), so that the clean-up knows them.
startBus() {
  local name=$1
  mkdir -p "$work/$name"
  dbus-daemon --config-file="$support/private-bus.conf" --nofork --print-address=1 \
    --address="unix:dir=$work/$name" >"$work/$name.address" 2>"$work/$name.log" &
  pids+=($!)
  for _ in $(seq 1 100); do [ -s "$work/$name.address" ] && break; sleep 0.05; done
  [ -s "$work/$name.address" ] || fail "the $name bus did not start"
}
startBus system
startBus session
DBUS_SYSTEM_BUS_ADDRESS=$(head -n1 "$work/system.address")
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/session.address")
export DBUS_SYSTEM_BUS_ADDRESS DBUS_SESSION_BUS_ADDRESS

# The printers: a TEPRA PRO at 400 kbit/s that writes what it prints, a device that answers
# garbage, a silent one, and a TEPRA PRO with its cover open.
startPrinter() {
  local name=$1
  shift
  "$simulator" --unix "$work/$name.sock" "$@" 2>"$work/$name.log" &
  pids+=($!)
  for _ in $(seq 1 100); do [ -S "$work/$name.sock" ] && break; sleep 0.05; done
  [ -S "$work/$name.sock" ] || fail "the $name printer did not start"
}
startPrinter tepra --link-rate 400000 --out "$work/labels"
startPrinter garbage --garbage
startPrinter silent --silent
startPrinter cover --cover-open

tepra=00:11:22:33:44:03
garbage=00:11:22:33:44:01
silent=00:11:22:33:44:02
cover=00:11:22:33:44:04
cat >"$work/bluez.json" <<EOF
{"devices": [
  {"Address": "$garbage", "Name": "Odd gadget", "Class": 1664, "Printer": "$work/garbage.sock"},
  {"Address": "$silent", "Name": "Quiet box", "Class": 1664, "Printer": "$work/silent.sock"},
  {"Address": "$tepra", "Name": "SR-MK1", "Class": 1664, "Printer": "$work/tepra.sock"},
  {"Address": "$cover", "Name": "SR5900P", "Class": 1664, "Printer": "$work/cover.sock"},
  {"Address": "00:11:22:33:44:05", "Name": "Headphones", "Class": 2360324}
]}
EOF
startFake() {
  : >"$work/fake.ready"
  "$python" "$support/fake-bluetoothd.py" --bus "$DBUS_SYSTEM_BUS_ADDRESS" \
    --config "$work/bluez.json" >"$work/fake.ready" 2>>"$work/fake.log" &
  fakePid=$!
  for _ in $(seq 1 100); do grep -q ready "$work/fake.ready" && return; sleep 0.05; done
  fail "the fake bluetoothd did not start"
}
startFake

fakeControl() {
  dbus-send --bus="$DBUS_SYSTEM_BUS_ADDRESS" --print-reply --dest=org.bluez /org/kelm/FakeBluez \
    "org.kelm.FakeBluez.$1" "${@:2}"
}
connected() {
  local path=/org/bluez/hci0/dev_${1//:/_}
  dbus-send --bus="$DBUS_SYSTEM_BUS_ADDRESS" --print-reply --dest=org.bluez "$path" \
    org.freedesktop.DBus.Properties.Get string:org.bluez.Device1 string:Connected |
    grep -q 'boolean true'
}

out=$("$program" certificate setup) || fail "certificate setup failed: $out"
certutil -L -d "sql:$HOME/.pki/nssdb" -n "Kelm Vodod Idizor (127.0.0.1)" -a >"$work/ca.pem" ||
  fail "the certificate is not in the browsers' database"

# With no bridge running, the command line asks Bluetooth itself.
out=$("$program" printers list) || fail "printers list failed: $out"
expected="$garbage  Odd gadget
$silent  Quiet box
$tepra  SR-MK1
$cover  SR5900P"
[ "$out" = "$expected" ] || fail "printers list said: $out"

"$program" --headless 2>"$work/bridge.log" &
bridgePid=$!

api() {
  curl -sS --cacert "$work/ca.pem" --max-time 60 -D "$work/headers" -o "$work/body" \
    -w '%{http_code}' "$@"
}
status() { api "https://127.0.0.1:$port/v1/status" -H "Origin: $webOrigin"; }
print() {
  printf '{"tapeMm":18,"labels":[{"png":"%s"}]}' "$(base64 -w0 "$1")" >"$work/print.json"
  api "https://127.0.0.1:$port/v1/print" -H "Origin: $webOrigin" \
    -H 'Content-Type: application/json' --data-binary "@$work/print.json"
}

# The automatic choice at start: probed in the platform's order, the TEPRA PRO wins.
for _ in $(seq 1 200); do
  grep -q '\[printer\] chose ' "$work/bridge.log" && break
  sleep 0.1
done
grep -q '\[printer\] chose SR-MK1 automatically' "$work/bridge.log" ||
  fail "the bridge did not choose the TEPRA PRO by itself"

for _ in $(seq 1 100); do
  code=$(status 2>/dev/null) && break
  sleep 0.1
done
[ "${code:-}" = 200 ] || fail "no status answer from the bridge (last: ${code:-none})"
expected='{"app":"Kelm Vodod Idizor","printer":{"connected":true,"name":"SR-MK1","state":"ready","tapeMm":18},"tapes":[9,12,18,24],"version":"'
grep -q "^$(printf '%s' "$expected" | sed 's/[][\.*^$]/\\&/g')" "$work/body" ||
  fail "status body: $(cat "$work/body")"

# A second bridge finds the first and leaves it alone.
if ! out=$("$program" --headless 2>&1); then fail "a second start failed: $out"; fi
grep -q 'already running' <<<"$out" || fail "a second start said: $out"
kill -0 "$bridgePid" || fail "the first bridge is gone"

# A print comes out of the printer as the picture that was sent.
code=$(print "$fixtures/label-18mm.png")
[ "$code" = 200 ] && [ "$(cat "$work/body")" = '{"printed":1}' ] ||
  fail "print answered $code: $(cat "$work/body")"
for _ in $(seq 1 50); do [ -f "$work/labels/label-0001.png" ] && break; sleep 0.1; done
cmp -s "$fixtures/label-18mm.png" "$work/labels/label-0001.png" ||
  fail "the printed label differs from the one sent"
grep -q '\[printer\] sent [0-9]* bytes in' "$work/bridge.log" || fail "no progress lines in the log"

# The command line acts on the running bridge.
out=$("$program" printers status) || fail "printers status failed: $out"
[ "$out" = "SR-MK1 ($tepra): ready, 18 mm tape" ] || fail "printers status said: $out"
out=$("$program" printers choose "$garbage") || fail "printers choose failed: $out"
if out=$("$program" printers status 2>&1); then fail "status of a garbage device succeeded: $out"; fi
grep -q 'The device answered, but not as a TEPRA PRO' <<<"$out" || fail "printers status said: $out"
code=$(status)
grep -q '"name":"Odd gadget"' "$work/body" || fail "the status still shows another printer: $(cat "$work/body")"

# A cover that is open.
"$program" printers choose "$cover" >/dev/null || fail "choosing the other printer failed"
code=$(print "$fixtures/label-18mm.png")
[ "$code" = 409 ] && [ "$(cat "$work/body")" = '{"code":"COVER_OPEN"}' ] ||
  fail "a print with the cover open answered $code: $(cat "$work/body")"

out=$("$program" printers choose auto) || fail "printers choose auto failed: $out"
[ "$out" = "chose SR-MK1 ($tepra) automatically" ] || fail "printers choose auto said: $out"

# The link drops in the middle of a job: 503 CONNECTION_LOST, and the next print works.
"$python" - "$work/long.json" <<'EOF'
import base64, json, struct, sys, zlib
w, h = 2835, 216
rows = b''.join(b'\x00' + bytes((x * 7 + y) % 256 for x in range(w)) for y in range(h))
def chunk(t, d):
    return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 0, 0, 0, 0))
png += chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b'')
label = {'png': base64.b64encode(png).decode()}
json.dump({'tapeMm': 18, 'labels': [label] * 8}, open(sys.argv[1], 'w'))
EOF
api "https://127.0.0.1:$port/v1/print" -H "Origin: $webOrigin" -H 'Content-Type: application/json' \
  --data-binary "@$work/long.json" >"$work/long.code" &
printing=$!
# The job takes about twenty seconds to cross the link: drop it on the way.
sleep 2.5
fakeControl HangUp string:"$tepra" >/dev/null || fail "the fake could not hang up"
wait "$printing" || true
[ "$(cat "$work/long.code")" = 503 ] && [ "$(cat "$work/body")" = '{"code":"CONNECTION_LOST"}' ] ||
  fail "a print whose link dropped answered $(cat "$work/long.code"): $(cat "$work/body")"
code=$(print "$fixtures/label-18mm.png")
[ "$code" = 200 ] || fail "the print after a dropped link answered $code: $(cat "$work/body")"

# The idle link is closed after a (scaled-down) minute without use.
connected "$tepra" || fail "the link is not up after a print"
for _ in $(seq 1 250); do connected "$tepra" || break; sleep 0.1; done
if connected "$tepra"; then fail "the idle link was not closed"; fi

# bluetoothd restarted: the next print works without restarting the bridge.
kill "$fakePid"
wait "$fakePid" 2>/dev/null || true
startFake
code=$(print "$fixtures/label-18mm.png")
[ "$code" = 200 ] || fail "the print after bluetoothd restarted answered $code: $(cat "$work/body")"

kill "$bridgePid"
wait "$bridgePid" 2>/dev/null || true
bridgePid=
echo "ok"
