#!/usr/bin/env bash
# The rate limit: a zone whose one file of 4 MiB (random, plain) is new, fetched by tavik-run
# --dry-run --max-rate 1M from nginx on loopback.
# Target: 4 +- 0.5 s for tavik-run, as the limit is the sum over all of a run's connections and
# its bucket starts empty. Usage: bench/rate_bench.sh [RATE] [MIB]   (defaults 1M and 4)
set -euo pipefail
cd "$(dirname "$0")/.."
rate=${1:-1M}
mib=${2:-4}
. scripts/lib/serve.sh
. bench/config.sh
bench_build

work=$(mktemp -d /tmp/tavik-rate-bench.XXXXXX)
trap 'stop_serving; rm -rf "$work"' EXIT
mkdir -p "$work/content" "$work/srv" "$work/www" "$work/install/bases"
serve_dir "$work/srv" "$work/www"
url="http://127.0.0.1:$SERVE_PORT/bases"
head -c "$((mib << 20))" /dev/urandom > "$work/content/large.avc"
"$bin/tavik-sign" make-zone --zone BASE --key keys/development.key --ed25519-key keys/development-ed25519.key \
  --files "$work/content" --out "$work/srv/bases" --url "$url" --plain-only >/dev/null
cp "$work/srv/bases/update.drl" "$work/install/update.drl"
bench_config "$work/install/update.drl" "$work/install/bases" "$work/var" > "$work/bench.conf"

now() { date +%s.%N; }
t0=$(now)
"$bin/tavik-run" --dry-run --max-rate "$rate" "$work/bench.conf" >/dev/null 2>"$work/run.err" ||
  { cat "$work/run.err" >&2; exit 1; }
t1=$(now)
python3 -c "print('$mib MiB at --max-rate $rate: tavik-run %.2f s (target 4 +- 0.5 s for 4 MiB at 1M)' % ($t1 - $t0))"
