#!/bin/sh
# Regenerates the signed test files of this folder, and a forged copy of each, with the signing
# tool and the development key. Usage: make_fixtures.sh [path/to/tavik-sign]
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
sign=${1:-${TAVIK_SIGN:-$root/build/bin/tavik-sign}}
key=$root/keys/development.key
cd "$here"

# LF sources; the CR LF variants are made from them.
to_crlf() { sed 's/$/\r/' "$1" > "$2"; }

# Copies FILE to FILE.forged with the first occurrence of TEXT's last byte replaced by BYTE;
# the byte lies inside the signed part, so the copy must fail verification.
forge() {
    file=$1 text=$2 byte=$3
    offset=$(grep -aboF -- "$text" "$file" | head -n 1 | cut -d: -f1)
    [ -n "$offset" ] || { echo "make_fixtures: \"$text\" not in $file" >&2; exit 1; }
    cp "$file" "$file.forged"
    printf '%s' "$byte" | dd of="$file.forged" bs=1 seek=$((offset + ${#text} - 1)) conv=notrunc 2>/dev/null
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$sign" sign-drl update.drl.unsigned update.drl --key "$key"
to_crlf update.drl.unsigned "$tmp/update-crlf.drl"
"$sign" sign-drl "$tmp/update-crlf.drl" update-crlf.drl --key "$key"

"$sign" sign-lst version.lst.unsigned version.lst --key "$key"
to_crlf version.lst.unsigned "$tmp/version-crlf.lst"
"$sign" sign-lst "$tmp/version-crlf.lst" version-crlf.lst --key "$key"

"$sign" sign-ini zone.ini.unsigned zone.ini --key "$key"

forge update.drl update1 7
forge update-crlf.drl update1 7
forge version.lst '[2024' 3
forge version-crlf.lst '[2024' 3
forge zone.ini fallback1 7

for f in update.drl update-crlf.drl version.lst version-crlf.lst zone.ini; do
    "$sign" verify "$f" > /dev/null
    if "$sign" verify "$f.forged" > /dev/null 2>&1; then
        echo "make_fixtures: $f.forged still verifies" >&2
        exit 1
    fi
done
