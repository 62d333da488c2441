#!/usr/bin/env bash
# The whole system once, without hardware: installs what is missing, builds the server,
# the simulated PIN pad, the plug-in and the test host, starts dorvish on the example
# configuration with a PIN pad on terminal 1, runs one payment through the plug-in with
# the test host, prints the result record and the slip, and stops what it started.
# Exit status 0 when the payment was approved.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

amount=${1:-12345}   # minor units: 123.45
build=$root/build/release
run=$root/run
settings=/morvask/cash/paysystems/vantrel/vantrel.conf
pidfile=/tmp/dorvish.pid
# The example configuration's cash-register and terminal ports.
xmlport=3232
terminal_port=4001

say() { printf '\n=== %s\n' "$*"; }

say "Installing what is missing"
bash scripts/install-deps.sh --main

say "Building dorvish, pinpad, the plug-in and the test host"
# The tools are configured with the tests (also over an older build/release made without
# them); only the four programs are built.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDORVISH_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target dorvish pinpad ProcessingVantrel testhost
dorvish=$build/server/dorvish
pinpad=$build/tools/pinpad/pinpad
testhost=$build/tools/testhost/testhost
plugin=$build/plugin/libProcessingVantrel.so

# Another dorvish under this name would hold the pid file and the ports.
if [ -f "$pidfile" ] && [ "$(cat "/proc/$(cat "$pidfile")/comm" 2>/dev/null)" = dorvish ]; then
  echo "A dorvish already runs as pid $(cat "$pidfile"); stop it first: kill $(cat "$pidfile")" >&2
  exit 1
fi

# Everything started below is stopped again, whatever happens.
daemon_pid=""
pad_pid=""
backup=""
made_dirs=()
wrote_settings=0
cleanup() {
  set +e
  if [ -n "$pad_pid" ]; then
    kill "$pad_pid" 2>/dev/null
    wait "$pad_pid" 2>/dev/null
  fi
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill "$daemon_pid"
    for _ in $(seq 50); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  [ -n "$daemon_pid" ] && rm -f "$pidfile"
  if [ "$wrote_settings" -eq 1 ]; then
    if [ -n "$backup" ]; then
      cp -p "$backup" "$settings" && rm -f "$backup"
    else
      rm -f "$settings"
      for ((i = ${#made_dirs[@]} - 1; i >= 0; i--)); do rmdir "${made_dirs[$i]}" 2>/dev/null; done
    fi
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "Starting dorvish on examples/dorvish.cfg in $run"
mkdir -p "$run"
cp examples/dorvish.cfg "$run/config.cfg"
rm -f "$run"/dorvish_*.log "$run"/pinpad.log "$run"/plugin.log
# No live process holds the pid file (checked above), so what is there is stale.
rm -f "$pidfile"
log=$run/dorvish_$(date +%Y%m%d).log
(cd "$run" && "$dorvish" -c config.cfg)
for _ in $(seq 50); do [ -s "$pidfile" ] && break; sleep 0.1; done
daemon_pid=$(cat "$pidfile" 2>/dev/null || true)
if [ -z "$daemon_pid" ] || ! kill -0 "$daemon_pid" 2>/dev/null; then
  daemon_pid=""
  echo "dorvish did not stay up (are ports $xmlport and $terminal_port free?); its log:" >&2
  cat "$run"/dorvish_*.log >&2 2>/dev/null || true
  exit 1
fi

say "Starting the simulated PIN pad on terminal port $terminal_port (tools/pinpad/README.md)"
"$pinpad" --port "$terminal_port" --log "$run/pinpad.log" &
pad_pid=$!
for _ in $(seq 100); do
  grep -qs "Connected terminal: 00000001" "$log" && break
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -qs "Connected terminal: 00000001" "$log"; then
  if kill -0 "$daemon_pid" 2>/dev/null; then
    echo "The PIN pad did not reach dorvish; the logs:" >&2
  else
    echo "dorvish stopped (are ports $xmlport and $terminal_port free?); the logs:" >&2
  fi
  cat "$log" "$run/pinpad.log" >&2 2>/dev/null || true
  exit 1
fi

# The plug-in reads its settings from a fixed path. Tests that run the plug-in share that
# file under a lock; this shell holds it from here to the end (dorvish and the PIN pad,
# started earlier, do not inherit it). A file that was there is put back at the end.
say "Pointing the plug-in at dorvish ($settings)"
settings_dir=$(dirname "$settings")
missing=()
d=$settings_dir
while [ ! -d "$d" ]; do missing=("$d" "${missing[@]}"); d=$(dirname "$d"); done
if mkdir -p "$settings_dir" 2>/dev/null && [ -w "$settings_dir" ] && { [ ! -e "$settings" ] || [ -w "$settings" ]; }; then
  made_dirs=("${missing[@]}")
  exec 9>/tmp/dorvish-vantrel-settings.lock
  flock 9
  if [ -e "$settings" ]; then
    backup=$(mktemp /tmp/vantrel.conf.XXXXXX)
    cp -p "$settings" "$backup"
  fi
  wrote_settings=1
  printf '[vantrel]\nhost=127.0.0.1\nport=%s\ntimeout=70\nkkm=1\n' "$xmlport" >"$settings"
  cat "$settings"
elif [ ! -e "$settings" ]; then
  echo "Cannot write $settings (not root): the plug-in's defaults (localhost, port $xmlport, kkm 1)"
  echo "match the example configuration, so the payment goes ahead without it."
else
  echo "Cannot replace $settings (not root), and the plug-in would read it." >&2
  echo "Run this script as root, or make that file say:" >&2
  printf '  [vantrel]\n  host=127.0.0.1\n  port=%s\n  kkm=1\n' "$xmlport" >&2
  exit 1
fi

say "Payment of $amount minor units through the plug-in: testhost payment $amount"
# The terminal takes requests about a second after it connects; until then dorvish
# answers 914 (PIN pad busy) without reaching it, so asking again is harmless.
status=1
for attempt in $(seq 10); do
  set +e
  out=$(DORVISH_PLUGIN_LOG=$run/plugin.log "$testhost" --plugin "$plugin" payment "$amount")
  status=$?
  set -e
  printf '%s\n' "$out" | grep -qx "code: 914" || break
  if [ "$attempt" -lt 10 ]; then sleep 1; fi
done
printf '%s\n' "$out" | grep -v '^printImage\['
say "The slip (the first of $(printf '%s\n' "$out" | sed -n 's/^printImages: //p') print images)"
# The print image is JSON with the slip's variables; shown one variable a line.
printf '%s\n' "$out" | sed -n 's/^printImage\[1\]: //p' |
  sed 's/^{"report":"\([^"]*\)","variables":{/"report":"\1",/; s/}}$//; s/,"/\n"/g' |
  sed 's/^"\([^"]*\)":"\{0,1\}\(.*\)$/\1\t\2/; s/"$//' |
  awk -F '\t' '{ printf "  %-12s %s\n", $1, $2 }'

say "What the PIN pad saw ($run/pinpad.log)"
grep -E " (recv|send) (PUR|VOI) " "$run/pinpad.log" || true

if [ "$status" -eq 0 ]; then
  say "Payment approved. Logs are in $run; stopping dorvish and the PIN pad."
else
  say "Payment not approved (testhost exit $status). Logs are in $run; stopping dorvish and the PIN pad."
fi
exit "$status"
