#!/usr/bin/env bash
# Update runs over a link with latency: a relay on 127.0.0.1 (bench/latency_relay.py) delays every
# chunk by half the round trip each way, and each connection's set-up by one round trip, in front
# of nginx. A zone of 200 files of 16 KiB with packed forms; tavik-update (through tavik-run
# --dry-run, with the build's connections and with --connections 1) against curl fetching the same
# URLs (from nginx's access log) one after another in one invocation, and with --parallel-max 4.
# Best of RUNS at each round trip. Usage: bench/latency_bench.sh [RUNS] [RTT_MS...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${1:-3}
shift || true
rtts=${*:-0 20 50}
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tavik-update tavik-run tavik-sign >/dev/null
bin="$root/$build/bin"
command -v curl >/dev/null || { echo "curl is not installed: install the package curl" >&2; exit 1; }
. scripts/lib/serve.sh
. bench/config.sh

work=$(mktemp -d /tmp/tavik-latency-bench.XXXXXX)
relay_pid=""
stop_relay() { [ -z "$relay_pid" ] || { kill "$relay_pid" 2>/dev/null || true; wait "$relay_pid" 2>/dev/null || true; relay_pid=""; }; }
trap 'stop_relay; stop_serving; [ -n "${KEEP_BENCH:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/content" "$work/srv" "$work/www"
serve_dir "$work/srv" "$work/www"
python3 -c '
import os, sys
for i in range(200):
    open(os.path.join(sys.argv[1], "file%03d.avc" % i), "wb").write(os.urandom(16384))' "$work/content"

now() { date +%s.%N; }
secs() { python3 -c "print('%.2f' % ($2 - $1))"; }
best() { python3 -c "print(min(float(x) for x in '$*'.split()))"; }

# Times one command, best of $runs, after `prepare` (which empties the work folders).
timed() {
  local times=""
  for _ in $(seq "$runs"); do
    prepare; local t0; t0=$(now); "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
    times="$times $(secs "$t0" "$(now)")"
  done
  best "$times"
}
prepare() { rm -rf "$work/var" "$work/out"; mkdir -p "$work/var" "$work/out"; }

printf '%-8s %14s %14s %14s %14s\n' "RTT" "tavik-update" "one at a time" "curl serial" "curl par. 4"
for rtt in $rtts; do
  port=$SERVE_PORT
  if [ "$rtt" != 0 ]; then
    coproc RELAY { exec python3 bench/latency_relay.py "$SERVE_PORT" "$rtt"; }
    relay_pid=$RELAY_PID
    read -r port <&"${RELAY[0]}"
  fi
  zone="$work/srv/rtt$rtt"
  "$bin/tavik-sign" make-zone --key keys/development.key --files "$work/content" --out "$zone" \
    --url "http://127.0.0.1:$port/rtt$rtt" >/dev/null
  mkdir -p "$work/install/rtt$rtt"
  bench_config "$zone/update.drl" "$work/install/rtt$rtt" "$work/var" > "$work/rtt$rtt.conf"
  before=$(wc -l < "$work/www/access.log")
  updater=$(timed "$bin/tavik-run" --dry-run "$work/rtt$rtt.conf")
  # The URLs of one run, as the updater asked for them, for curl to fetch into files.
  tail -n +"$((before + 1))" "$work/www/access.log" | awk -v base="http://127.0.0.1:$port" -v d="$work/out" '
    match($0, /"GET [^ ]+/) { t = substr($0, RSTART + 5, RLENGTH - 5); sub(/^https?:\/\/[^\/]+/, "", t); if (seen[t]++) next;
      k++; print "url = \"" base t "\""; print "output = \"" d "/f" k "\"" }' > "$work/curl.cfg"
  single=$(timed "$bin/tavik-run" --connections 1 --dry-run "$work/rtt$rtt.conf")
  serial=$(timed curl -s -K "$work/curl.cfg")
  parallel=$(timed curl -s --parallel --parallel-max 4 -K "$work/curl.cfg")
  printf '%-8s %13ss %13ss %13ss %13ss\n' "${rtt} ms" "$updater" "$single" "$serial" "$parallel"
  python3 -c "print('         requests %d; tavik-update / curl serial %.2f (target <= 0.5), / curl parallel %.2f (target <= 1.5), / one at a time %.2f' % ($(grep -c '^url' "$work/curl.cfg"), $updater / $serial, $updater / $parallel, $updater / $single))"
  stop_relay
done
