#!/usr/bin/env bash
# Whole update runs against nginx on loopback: (a) a zone of 2,000 files of 64 KiB plus one of
# 256 MiB downloaded by tavik-update, against curl fetching the same URLs in one invocation;
# (b) the next run, when nothing changed; (c) the run after it, with the hash cache warm.
# Also the peak resident memory of tavik-update in (a). Usage: bench/engine_bench.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
. scripts/lib/serve.sh
. bench/config.sh
bench_build

work=$(mktemp -d /tmp/tavik-engine-bench.XXXXXX)
trap 'stop_serving; rm -rf "$work"' EXIT
mkdir -p "$work/content" "$work/srv" "$work/www"
serve_dir "$work/srv" "$work/www"
url="http://127.0.0.1:$SERVE_PORT/bases"

echo "preparing the zone..." >&2
python3 - "$work/content" <<'PY'
import os, sys
d = sys.argv[1]
for i in range(2000):
    with open(os.path.join(d, "file%04d.avc" % i), "wb") as f:
        f.write(os.urandom(65536))
with open(os.path.join(d, "large.avc"), "wb") as f:
    for _ in range(256):
        f.write(os.urandom(1 << 20))
PY
# A mirror of plain files: packing 384 MiB of random data would only time the packer.
"$bin/tavik-sign" make-zone --key keys/development.key --ed25519-key keys/development-ed25519.key --files "$work/content" --out "$work/srv/bases" \
  --url "$url" --plain-only >/dev/null
mkdir -p "$work/install/bases"
cp "$work/srv/bases/update.drl" "$work/install/update.drl"
bench_config "$work/install/update.drl" "$work/install/bases" "$work/var" > "$work/bench.conf"

now() { date +%s.%N; }
secs() { python3 -c "print('%.3f' % ($2 - $1))"; }

# curl fetches exactly the URLs the updater requested (lists, packed forms that answer 404, files),
# in the same order, in one invocation; the URL list is taken from the first run's access log.
curl_config() {
  awk -v base="http://127.0.0.1:$SERVE_PORT" -v d="$work/curl-out" '
    match($0, /"GET [^ ]+/) { t = substr($0, RSTART + 5, RLENGTH - 5); sub(/^https?:\/\/[^\/]+/, "", t);
      n++; print "url = \"" base t "\""; print "output = \"" d "/f" n "\"" }' "$1" > "$work/curl.cfg"
  # curl writes to files like the updater does; /dev/null would spare it the disk.
}

best_update=""; best_curl=""; peak_kib=0
for i in $(seq "$runs"); do
  rm -rf "$work/var" "$work/curl-out"; mkdir -p "$work/var" "$work/curl-out"
  sync; t0=$(now)
  /usr/bin/time -f %M -o "$work/rss" "$bin/tavik-run" --dry-run "$work/bench.conf" >/dev/null 2>"$work/run.err" \
    || { cat "$work/run.err" >&2; exit 1; }
  t1=$(now)
  [ "$i" = 1 ] && curl_config "$work/www/access.log" && echo "requests per run: $(grep -c '^url' "$work/curl.cfg")"
  curl -s -K "$work/curl.cfg"
  t2=$(now)
  u=$(secs "$t0" "$t1"); c=$(secs "$t1" "$t2")
  rss=$(tail -1 "$work/rss")
  echo "run $i: tavik-update ${u}s, curl ${c}s, peak RSS ${rss} KiB (the larger of tavik-run and tavik-update)"
  best_update=$(python3 -c "print(min(x for x in [$u, ${best_update:-1e9}]))")
  best_curl=$(python3 -c "print(min(x for x in [$c, ${best_curl:-1e9}]))")
  [ "$rss" -gt "$peak_kib" ] && peak_kib=$rss
done

# Install what the last run fetched, then time the runs that find nothing to do.
"$bin/tavik-run" "$work/bench.conf" >/dev/null 2>&1
t0=$(now); "$bin/tavik-run" --dry-run "$work/bench.conf" >/dev/null 2>&1; t1=$(now)
second=$(secs "$t0" "$t1")
t0=$(now); "$bin/tavik-run" --dry-run "$work/bench.conf" >/dev/null 2>&1; t1=$(now)
third=$(secs "$t0" "$t1")

echo
echo "(a) full run: tavik-update ${best_update}s, curl ${best_curl}s, ratio $(python3 -c "print('%.2f' % ($best_update / $best_curl))") (target <= 1.2)"
echo "(b) next run, no change (installed files hashed anew): ${second}s, $(python3 -c "print('%.3f' % ($second / $best_update))") of (a)"
echo "(c) run after it, hash cache warm: ${third}s, $(python3 -c "print('%.3f' % ($third / $best_update))") of (a)"
echo "peak resident memory in (a): $((peak_kib / 1024)) MiB (target < 80)"
