#!/usr/bin/env bash
# Download throughput: the downloader against curl, both fetching one large file from nginx on
# loopback into a file, alternating run by run. Prints MB/s of each and their ratio.
# Usage: bench/download_bench.sh [build-dir]   (RUNS=5 SIZE_MB=256 by default)
set -euo pipefail

build=${1:-build}
runs=${RUNS:-5}
size_mb=${SIZE_MB:-256}
driver=$build/bin/download_driver

[ -x "$driver" ] || { echo "build the download_driver target first ($driver)" >&2; exit 1; }
nginx=$(command -v nginx || ls /usr/sbin/nginx 2>/dev/null || true)
[ -n "$nginx" ] || { echo "nginx is not installed: install the package nginx" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is not installed: install the package curl" >&2; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tavik-download-bench-XXXXXX")
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

if command -v python3 >/dev/null; then
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
else
  port=$((20000 + RANDOM % 20000))
fi

mkdir -p "$tmp/www"
head -c $((size_mb * 1048576)) /dev/urandom > "$tmp/www/big.bin"
cat > "$tmp/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $tmp/nginx.pid;
error_log $tmp/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $tmp/client_body;
  proxy_temp_path $tmp/proxy;
  fastcgi_temp_path $tmp/fastcgi;
  uwsgi_temp_path $tmp/uwsgi;
  scgi_temp_path $tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  server { listen 127.0.0.1:$port; root $tmp/www; }
}
CONF
"$nginx" -p "$tmp" -c "$tmp/nginx.conf" -e "$tmp/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.05
done

url="http://127.0.0.1:$port/big.bin"
bytes=$((size_mb * 1048576))
now() { date +%s%N; }
mbps() { awk -v b="$bytes" -v ns="$1" 'BEGIN { printf "%.1f", b / 1e6 / (ns / 1e9) }'; }

total_upd=0
total_curl=0
for i in $(seq "$runs"); do
  t0=$(now); "$driver" "$url" "$tmp/out.upd" >/dev/null; t1=$(now)
  t2=$(now); curl -s -o "$tmp/out.curl" "$url"; t3=$(now)
  if [ "$i" = 1 ]; then
    cmp -s "$tmp/out.upd" "$tmp/www/big.bin" || { echo "downloader output differs" >&2; exit 1; }
    cmp -s "$tmp/out.curl" "$tmp/www/big.bin" || { echo "curl output differs" >&2; exit 1; }
  fi
  rm -f "$tmp/out.upd" "$tmp/out.curl"
  total_upd=$((total_upd + t1 - t0))
  total_curl=$((total_curl + t3 - t2))
  echo "run $i: downloader $(mbps $((t1 - t0))) MB/s, curl $(mbps $((t3 - t2))) MB/s"
done
upd=$(awk -v b="$bytes" -v n="$runs" -v ns="$total_upd" 'BEGIN { printf "%.1f", b * n / 1e6 / (ns / 1e9) }')
crl=$(awk -v b="$bytes" -v n="$runs" -v ns="$total_curl" 'BEGIN { printf "%.1f", b * n / 1e6 / (ns / 1e9) }')
echo "downloader: $upd MB/s"
echo "curl:       $crl MB/s"
awk -v u="$total_upd" -v c="$total_curl" 'BEGIN { printf "ratio (downloader / curl): %.2f\n", c / u }'
