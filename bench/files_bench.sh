#!/usr/bin/env bash
# Times the file checker and the LZMA container against the standard tools and prints the ratios.
#
# Usage: bench/files_bench.sh [BUILD_DIR]   (needs BUILD_DIR/bin/checker_driver and lzma_driver)
# Environment: RUNS (default 5) runs per measurement, the median is reported; TMPDIR for the
# work area (about 1.2 GiB, removed at the end).
#
#   cold   hash_all over 1 GiB of files (16 x 64 MiB, in page cache), no hash cache,
#          vs sha256sum then md5sum over the same files             target ratio <= 0.6
#   warm   hash_all over 20,000 small files with a full hash cache,
#          vs find DIR -type f -printf '%i %C@\n'                    target ratio <= 2
#   lzma   lzma_decompress_file of a container made by lzmp,
#          vs xz --format=lzma -dc                                   target ratio <= 1.1
set -euo pipefail
export LC_ALL=C

build=${1:-build}
bin=$build/bin
[ -x "$bin/checker_driver" ] || bin=$build
for tool in checker_driver lzma_driver; do
    if [ ! -x "$bin/$tool" ]; then
        echo "missing $tool in $build/bin (build the targets checker_driver and lzma_driver)" >&2
        exit 2
    fi
done
for tool in sha256sum md5sum find lzmp xz python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

runs=${RUNS:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/files-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# "wall cpu" seconds of a command (cpu: user + system, children included), output discarded.
# CPU time is reported too because wall time on a shared machine depends on the other load.
seconds() {
    local TIMEFORMAT='%R %U %S'
    { time "$@" >/dev/null; } 2>&1 | awk '{ printf "%.4f %.4f\n", $1, $2 + $3 }'
}

median() {  # column
    awk -v c="$1" '{ print $c }' | sort -n |
        awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

report() {  # name target; the runs in the arrays ours and refs
    local ow oc rw rc
    ow=$(printf '%s\n' "${ours[@]}" | median 1)
    oc=$(printf '%s\n' "${ours[@]}" | median 2)
    rw=$(printf '%s\n' "${refs[@]}" | median 1)
    rc=$(printf '%s\n' "${refs[@]}" | median 2)
    awk -v n="$1" -v t="$2" -v ow="$ow" -v oc="$oc" -v rw="$rw" -v rc="$rc" 'BEGIN {
        r = ow / rw; c = (rc > 0 ? oc / rc : 0)
        printf "%-6s wall: ours %.3f s, reference %.3f s, ratio %.2f (target <= %s) %s;  cpu: ours %.3f s, reference %.3f s, ratio %.2f\n",
               n, ow, rw, r, t, (r <= t ? "ok" : "MISSED"), oc, rc, c
    }'
}

# Waits until the clock has left the current second, so that the files just written are cached.
next_second() {
    local now
    now=$(date +%s)
    while [ "$(date +%s)" = "$now" ]; do sleep 0.05; done
}

# Checks that a driver run covered the expected number of bytes.
expect_checked() {  # cache_dir list expected
    local out
    out=$("$bin/checker_driver" "$1" "$2")
    case $out in
        *"to_check=$3 checked=$3") ;;
        *) echo "unexpected checker result: $out (expected $3 bytes)" >&2; exit 1 ;;
    esac
}

# ---- cold: 1 GiB, no cache -------------------------------------------------------------------
mkdir -p "$work/big" "$work/cold-cache"
big=()
for i in $(seq -w 1 16); do
    head -c 67108864 /dev/urandom >"$work/big/part$i"
    big+=("$work/big/part$i")
done
printf '%s\n' "${big[@]}" >"$work/big.list"
cat "${big[@]}" >/dev/null  # into page cache
reference_hash() {
    sha256sum "${big[@]}"
    md5sum "${big[@]}"
}
expect_checked "$work/cold-cache" "$work/big.list" 1073741824
ours=() refs=()
for _ in $(seq "$runs"); do
    rm -f "$work/cold-cache/tavik-update.cache"
    ours+=("$(seconds "$bin/checker_driver" "$work/cold-cache" "$work/big.list")")
    refs+=("$(seconds reference_hash)")
done
report cold 0.6
rm -rf "$work/big" "$work/cold-cache"

# ---- warm: 20,000 small files, full cache ----------------------------------------------------
mkdir -p "$work/small" "$work/warm-cache"
python3 - "$work/small" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
for d in range(40):
    sub = os.path.join(root, "d%02d" % d)
    os.mkdir(sub)
    for f in range(500):
        with open(os.path.join(sub, "f%03d.bin" % f), "wb") as out:
            out.write(rng.randbytes(rng.randint(200, 4000)))
PY
find "$work/small" -type f | sort >"$work/small.list"
next_second
"$bin/checker_driver" "$work/warm-cache" "$work/small.list" >/dev/null  # fills the cache
expect_checked "$work/warm-cache" "$work/small.list" 0
ours=() refs=()
for _ in $(seq "$runs"); do
    ours+=("$(seconds "$bin/checker_driver" "$work/warm-cache" "$work/small.list")")
    refs+=("$(seconds find "$work/small" -type f -printf '%i %C@\n')")
done
report warm 2
rm -rf "$work/small" "$work/warm-cache"

# ---- lzma: 32 MiB of content, and a 32 MiB container -----------------------------------------
# Program files as content compress like real update files; random content makes the container
# itself reach the size limit.
set +o pipefail
find /usr/lib /usr/bin -type f -size +64k 2>/dev/null | sort | xargs cat 2>/dev/null |
    head -c 33554432 >"$work/binaries"
set -o pipefail
head -c $((33554432 - 524288)) /dev/urandom >"$work/random"  # the container stays below 32 MiB
for content in binaries random; do
    lzmp -c -k "$work/$content" >"$work/$content.lzma"
    "$bin/lzma_driver" "$work/$content.lzma" "$work/out"
    cmp -s "$work/out" "$work/$content" || { echo "lzma_driver output differs for $content" >&2; exit 1; }
    xz --format=lzma -dc "$work/$content.lzma" | cmp -s - "$work/$content" ||
        { echo "xz output differs for $content" >&2; exit 1; }
    ours=() refs=()
    for _ in $(seq "$runs"); do
        rm -f "$work/out"
        ours+=("$(seconds "$bin/lzma_driver" "$work/$content.lzma" "$work/out")")
        rm -f "$work/out"
        refs+=("$(seconds sh -c 'xz --format=lzma -dc "$1" >"$2"' sh "$work/$content.lzma" "$work/out")")
    done
    printf '%s: content %d bytes, container %d bytes\n' "$content" \
        "$(stat -c %s "$work/$content")" "$(stat -c %s "$work/$content.lzma")"
    report lzma 1.1
done
