#!/usr/bin/env bash
# Delta updates: a base of SIZE_MIB MiB of random data (default 100) in which 1% changed (256
# scattered 4 KiB blocks, half replaced, half inserted), published with make-zone --previous,
# served by nginx, updated by tavik-run --dry-run from the installed earlier version; the peer is
# the same update with whole files (--no-patches). Reports the bytes on the wire (nginx's log), the
# patch's size, make-zone's time, the patch step (reading the installed copy, applying, verifying:
# the updater's "Patched" line) and the peak resident and anonymous memory of tavik-update
# (bench/peak_memory.py, from /proc).
# Targets: bytes on the wire <= 3% of the file; patch step <= 3 s; peak anonymous memory <= the
# patch + 32 MiB, and within 100 MiB for the default 100 MiB file.
# Usage: bench/delta_bench.sh [SIZE_MIB]
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-100}
. scripts/lib/serve.sh
. bench/config.sh
bench_build

work=$(mktemp -d /tmp/tavik-delta-bench.XXXXXX)
trap 'stop_serving; [ -n "${KEEP_BENCH:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/v1" "$work/v2" "$work/srv" "$work/www" "$work/install"
python3 - "$mib" "$work/v1/base.avc" "$work/v2/base.avc" <<'PY'
import os, random, sys
size, old_path, new_path = int(sys.argv[1]) << 20, sys.argv[2], sys.argv[3]
random.seed(20261207)
old = bytearray(os.urandom(size))
open(old_path, "wb").write(old)
new = bytearray(old)
# 256 blocks of 4 KiB at scattered places, from the end so that earlier offsets stay valid.
for i, at in enumerate(sorted(random.sample(range(0, size - 4096, 4096), 256), reverse=True)):
    block = os.urandom(4096)
    if i % 2: new[at:at + 4096] = block
    else: new[at:at] = block
open(new_path, "wb").write(new)
PY
serve_dir "$work/srv" "$work/www"
url="http://127.0.0.1:$SERVE_PORT/zone"
"$bin/tavik-sign" make-zone --key keys/development.key --ed25519-key keys/development-ed25519.key --files "$work/v1" --out "$work/srv/zone" --url "$url" --stamp 1 >/dev/null
cp "$work/v1/base.avc" "$work/install/base.avc" && cp "$work/srv/zone/update.drl" "$work/install/update.drl"
t0=$(date +%s.%N)
"$bin/tavik-sign" make-zone --key keys/development.key --ed25519-key keys/development-ed25519.key --files "$work/v2" --out "$work/srv/zone" --url "$url" --stamp 2 \
  --previous "$work/v1" >/dev/null
make_zone=$(python3 -c "print('%.2f' % ($(date +%s.%N) - $t0))")
patch=$(find "$work/srv/zone/patches" -name '*.zst' -printf '%s\n' | head -1)
bench_config "$work/install/update.drl" "$work/install" "$work/var" | sed 's/LOG_LEVEL_WARNING/LOG_LEVEL_NOTICE/' > "$work/update.conf"

run() {  # OPTIONS...: "seconds bytes-on-the-wire peak-RSS-KiB peak-anonymous-KiB patch-ms"
  rm -rf "$work/var" && mkdir -p "$work/var"
  local before t0; before=$(wc -l < "$work/www/access.log"); t0=$(date +%s.%N)
  python3 bench/peak_memory.py "$work/peaks" "$bin/tavik-run" --dry-run "$@" "$work/update.conf" > "$work/out" 2>&1 || { cat "$work/out" >&2; exit 1; }
  local seconds; seconds=$(python3 -c "print('%.2f' % ($(date +%s.%N) - $t0))")
  local bytes; bytes=$(tail -n +"$((before + 1))" "$work/www/access.log" | awk '{ n += $10 } END { print n + 0 }')
  local ms; ms=$(sed -n 's/.*Patched .* in \([0-9]*\) ms.*/\1/p' "$work/out")
  echo "$seconds $bytes $(awk '$1 == "tavik-update" { print $2, $3 }' "$work/peaks") ${ms:--}"
}
read -r p_s p_bytes p_rss p_anon p_ms < <(run)
read -r f_s f_bytes f_rss f_anon _ < <(run --no-patches)
size=$(stat -c %s "$work/v2/base.avc")
printf '%-22s %10s %14s %14s %14s %12s\n' "" "seconds" "bytes on wire" "peak RSS" "peak anonymous" "patch step"
printf '%-22s %10s %14s %10s KiB %10s KiB %9s ms\n' "with the patch" "$p_s" "$p_bytes" "$p_rss" "$p_anon" "$p_ms"
printf '%-22s %10s %14s %10s KiB %10s KiB %12s\n' "whole file (peer)" "$f_s" "$f_bytes" "$f_rss" "$f_anon" "-"
python3 - "$size" "$patch" "$make_zone" "$p_bytes" "$p_ms" "$p_anon" <<'PY'
import sys
size, patch, make_zone, wire, ms, anon = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), sys.argv[5], int(sys.argv[6])
print("file %d bytes; patch %d bytes (%.2f%%); make-zone --previous %.2f s" % (size, patch, 100.0 * patch / size, make_zone))
step = float(ms) / 1000 if ms != "-" else float("inf")
limit = min(patch / 1024 + 32 * 1024, 100 * 1024 if size <= 100 << 20 else float("inf"))
for name, ok, text in [("bytes on the wire", wire <= 0.03 * size, "%.2f%% of the file (target <= 3%%)" % (100.0 * wire / size)),
                       ("patch step", step <= 3.0, "%.2f s (target <= 3 s)" % step),
                       ("peak anonymous", anon <= limit, "%d KiB (target <= %d KiB)" % (anon, limit))]:
    print("%-18s %s: %s" % (name, text, "met" if ok else "NOT met"))
PY
