#!/usr/bin/env bash
# Update runs over a link with latency, over HTTP and over HTTPS: a relay on 127.0.0.1
# (bench/latency_relay.py) delays every chunk by half the round trip each way, and each
# connection's set-up by one round trip, in front of nginx (HTTP, and HTTPS with a throw-away
# certificate). A zone of 200 files of 16 KiB of random bytes, which pack no smaller, so that the
# list marks them plain (PACKABLE=1: of text that packs to a fifth); tavik-update (through
# tavik-run --dry-run with the build's connections) against curl fetching the same URLs (from
# nginx's access log) over one reused connection in one invocation, and with --parallel-max 4
# (curl -k --http1.1 for HTTPS). HTTPS twice: the updater with --http1.1 beside curl --http1.1, and
# the updater as built (nginx offers h2) beside curl --http2 --parallel, which puts every request
# in flight on one connection. Reports the connections the updater opened in a run ($connection
# in nginx's log) and how many of its TLS connections resumed a session ($ssl_session_reused).
# Best of RUNS. Targets at 50 ms: HTTPS over HTTP/1.1 at most 1.0 x curl --parallel-max 4 over at
# most 16 connections; HTTP at most 0.8 x curl --parallel-max 4; HTTPS over HTTP/2 at most 1.5 x
# curl --http2 --parallel, on one connection. Usage: [PACKABLE=1] bench/latency_bench.sh [RUNS]
# [RTT_MS...]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
shift || true
rtts=${*:-0 50}
command -v curl >/dev/null || { echo "curl is not installed: install the package curl" >&2; exit 1; }
. scripts/lib/serve.sh
. bench/config.sh
bench_build
nginx=$(find_nginx)

work=$(mktemp -d /tmp/tavik-latency-bench.XXXXXX)
pids=()
relay_pid=""
stop_relay() { [ -z "$relay_pid" ] || { kill "$relay_pid" 2>/dev/null || true; wait "$relay_pid" 2>/dev/null || true; relay_pid=""; }; }
trap 'stop_relay; for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; [ -n "${KEEP_BENCH:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/content" "$work/srv" "$work/tmp"
python3 -c '
import os, random, sys
words = [b"sig%04d" % i for i in range(5000)]
for i in range(200):
    if sys.argv[2] == "1":  # text that packs to about a fifth
        data = b" ".join(random.choice(words) for _ in range(2100))[:16384]
    else:
        data = os.urandom(16384)
    open(os.path.join(sys.argv[1], "file%03d.avc" % i), "wb").write(data)' "$work/content" "${PACKABLE:-0}"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
http_port=$(free_port) https_port=$(free_port)
cat > "$work/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1; pid $work/nginx.pid; error_log $work/error.log;
events { worker_connections 1024; }
http {
  log_format bench '\$connection \$ssl_session_reused "\$request"';
  access_log $work/access.log bench;
  sendfile on;
  client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp; uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  server {
    listen 127.0.0.1:$http_port; listen 127.0.0.1:$https_port ssl http2;
    ssl_certificate $work/cert.pem; ssl_certificate_key $work/key.pem;
    root $work/srv;
  }
}
CONF
"$nginx" -c "$work/nginx.conf" -p "$work" -e "$work/error.log" & pids+=($!)
for _ in $(seq 100); do python3 -c "import socket; socket.create_connection(('127.0.0.1',$http_port),0.2)" 2>/dev/null && break; sleep 0.1; done

now() { date +%s.%N; }
secs() { python3 -c "print('%.2f' % ($2 - $1))"; }
best() { python3 -c "print(min(float(x) for x in '$*'.split()))"; }
prepare() { rm -rf "$work/var" "$work/out"; mkdir -p "$work/var" "$work/out"; }
# Times one command, best of $runs, after `prepare`.
timed() {
  local times=""
  for _ in $(seq "$runs"); do
    prepare; local t0; t0=$(now); "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
    times="$times $(secs "$t0" "$(now)")"
  done
  best "$times"
}

# The updater's runs, best of $runs; the first log line of the last run goes to $work/mark.
updater_runs() {
  local times=""
  for _ in $(seq "$runs"); do
    prepare; echo $(( $(wc -l < "$work/access.log") + 1 )) > "$work/mark"; local t0; t0=$(now)
    "$bin/tavik-run" --dry-run "${@:2}" "$1" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
    times="$times $(secs "$t0" "$(now)")"
  done
  best "$times"
}

printf '%-14s %14s %12s %10s %14s %14s\n' "" "tavik-update" "connections" "resumed" "curl, 1 conn." "curl parallel"
for scheme in http https h2; do
  for rtt in $rtts; do
    target=$http_port curl_tls=() run_flags=() parallel_flags=(--parallel-max 4)
    [ "$scheme" = https ] && target=$https_port curl_tls=(-k --http1.1) run_flags=(--http1.1)
    [ "$scheme" = h2 ] && target=$https_port curl_tls=(-k --http2) parallel_flags=(--parallel-max 128)
    port=$target
    if [ "$rtt" != 0 ]; then
      coproc RELAY { exec python3 bench/latency_relay.py "$target" "$rtt"; }
      relay_pid=$RELAY_PID
      read -r port <&"${RELAY[0]}"
    fi
    name="$scheme$rtt"
    url_scheme=$scheme; [ "$scheme" = h2 ] && url_scheme=https
    "$bin/tavik-sign" make-zone --zone BASE --key keys/development.key --ed25519-key keys/development-ed25519.key --files "$work/content" --out "$work/srv/$name" \
      --url "$url_scheme://127.0.0.1:$port/$name" >/dev/null
    mkdir -p "$work/install/$name"
    bench_config "$work/srv/$name/update.drl" "$work/install/$name" "$work/var" > "$work/$name.conf"
    before=$(wc -l < "$work/access.log")
    updater=$(updater_runs "$work/$name.conf" "${run_flags[@]}")
    # The last run's connections, and the TLS ones among them that resumed a session.
    tail -n +"$(cat "$work/mark")" "$work/access.log" | awk '{ print $1, $2 }' | sort -u > "$work/conns"
    connections=$(wc -l < "$work/conns")
    resumed=$(awk '$2 == "r"' "$work/conns" | wc -l)
    # The URLs of one run, as the updater asked for them, for curl to fetch into files.
    tail -n +"$((before + 1))" "$work/access.log" | awk -v base="$url_scheme://127.0.0.1:$port" -v d="$work/out" '
      match($0, /"GET [^ ]+/) { t = substr($0, RSTART + 5, RLENGTH - 5); sub(/^https?:\/\/[^\/]+/, "", t); if (seen[t]++) next;
        k++; print "url = \"" base t "\""; print "output = \"" d "/f" k "\"" }' > "$work/curl.cfg"
    serial=$(timed curl -s "${curl_tls[@]}" -K "$work/curl.cfg")
    parallel=$(timed curl -s "${curl_tls[@]}" --parallel "${parallel_flags[@]}" -K "$work/curl.cfg")
    [ "$scheme" = http ] && resumed="-"
    printf '%-14s %13ss %12s %10s %13ss %13ss\n' "$scheme, ${rtt} ms" "$updater" "$connections" "$resumed" "$serial" "$parallel"
    if [ "$rtt" = 50 ]; then
      case $scheme in
        https) python3 -c "r = $updater / $parallel; print('               HTTPS: %.2f x curl par. 4 (target <= 1.0), %d connections (target <= 16): %s' % (r, $connections, 'met' if r <= 1.0 and $connections <= 16 else 'NOT met'))" ;;
        http) python3 -c "r = $updater / $parallel; print('               HTTP: %.2f x curl par. 4 (target <= 0.8): %s' % (r, 'met' if r <= 0.8 else 'NOT met'))" ;;
        h2) python3 -c "r = $updater / $parallel; print('               HTTP/2: %.2f x curl --http2 --parallel (target <= 1.5), %d connections (target 1): %s' % (r, $connections, 'met' if r <= 1.5 and $connections == 1 else 'NOT met'))" ;;
      esac
    fi
    stop_relay
  done
done
