#!/usr/bin/env bash
# Memory and time per listed file: zones of N files of 512 bytes (default 10,000, 40,000 and 200,000),
# all installed and current, so that a run has nothing to fetch. For each N, tavik-run --dry-run runs
# once without the hash cache (cold: every file hashed) and RUNS times with it (warm, the fastest
# reported); bench/peak_memory.py samples the peak memory of tavik-update and of tavik-run.
# Reports per N the peak resident memory of each, the times, and between the smallest and largest N
# the bytes of peak memory for each extra listed file.
# Targets: at most 400 bytes per extra file in tavik-update and in tavik-run alike.
# Usage: bench/listed_bench.sh [N...]   Environment: RUNS (default 3), BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 40000 200000)
runs=${RUNS:-3}
. scripts/lib/serve.sh
. bench/config.sh
bench_build

work=$(mktemp -d /tmp/tavik-listed-bench.XXXXXX)
trap 'stop_serving; rm -rf "$work"' EXIT
mkdir -p "$work/srv" "$work/www"
serve_dir "$work/srv" "$work/www"

now() { date +%s.%N; }
run() {  # N: "seconds updater-KiB tavik-run-KiB"
  local t0 t1
  t0=$(now)
  python3 bench/peak_memory.py "$work/peaks" "$bin/tavik-run" --dry-run "$work/$1.conf" >"$work/out" 2>&1 ||
    { cat "$work/out" >&2; exit 1; }
  t1=$(now)
  grep -q "0 to place, 0 to remove, $1 up to date" "$work/out" || { cat "$work/out" >&2; exit 1; }
  echo "$(python3 -c "print('%.3f' % ($t1 - $t0))") $(awk '$1 == "tavik-update" { print $2 }' "$work/peaks") \
$(awk '$1 == "tavik-run" { print $2 }' "$work/peaks")"
}

printf '%9s %10s %10s %14s %14s\n' files "cold s" "warm s" "tavik-update" "tavik-run"
results=()
for n in "${sizes[@]}"; do
  # n - 2 content files, plus the list of servers and the zone's zone.ini: n files in the request.
  python3 - "$work/content-$n" "$((n - 2))" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
os.makedirs(root)
data = os.urandom(512 * 1024)
for i in range(n):
    with open(os.path.join(root, "f%07d.avc" % i), "wb") as f:
        at = (i * 509) % (len(data) - 512)
        f.write(data[at:at + 508] + i.to_bytes(4, "little"))
PY
  "$bin/tavik-sign" make-zone --key keys/development.key --ed25519-key keys/development-ed25519.key \
    --files "$work/content-$n" --out "$work/srv/z$n" --url "http://127.0.0.1:$SERVE_PORT/z$n" --plain-only >/dev/null
  mkdir -p "$work/install-$n"
  cp -r "$work/content-$n" "$work/install-$n/bases"
  cp "$work/srv/z$n/update.drl" "$work/install-$n/update.drl"
  cp "$work/srv/z$n/zone.ini" "$work/install-$n/bases/zone.ini"
  rm -rf "$work/content-$n"
  sleep 1.1  # files changed in the current second are never cached
  bench_config "$work/install-$n/update.drl" "$work/install-$n/bases" "$work/var-$n" >"$work/$n.conf"
  mkdir -p "$work/var-$n"
  read -r cold u r < <(run "$n")
  warm=""
  for _ in $(seq "$runs"); do
    read -r s u2 r2 < <(run "$n")
    [ -z "$warm" ] || [ "$(python3 -c "print(int($s < $warm))")" = 1 ] && warm=$s
    [ "$u2" -gt "$u" ] && u=$u2
    [ "$r2" -gt "$r" ] && r=$r2
  done
  printf '%9d %10s %10s %10d KiB %10d KiB\n' "$n" "$cold" "$warm" "$u" "$r"
  results+=("$n $u $r")
  rm -rf "$work/install-$n" "$work/var-$n" "$work/srv/z$n"
done
if [ ${#results[@]} -ge 2 ]; then
  read -r n0 u0 r0 <<<"${results[0]}"
  read -r n1 u1 r1 <<<"${results[${#results[@]} - 1]}"
  python3 - "$n0" "$u0" "$r0" "$n1" "$u1" "$r1" <<'PY'
import sys
n0, u0, r0, n1, u1, r1 = map(int, sys.argv[1:])
for name, a, b in (("tavik-update", u0, u1), ("tavik-run", r0, r1)):
    per = (b - a) * 1024.0 / (n1 - n0)
    print("%-12s %.0f bytes of peak memory per extra listed file (%d to %d files; target <= 400): %s"
          % (name, per, n0, n1, "met" if per <= 400 else "NOT met"))
PY
fi
