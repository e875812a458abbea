#!/usr/bin/env bash
# The Debian packages of a build: each holds its programs and manual pages where GNUInstallDirs puts
# them and nothing else, depends on the libraries they link, and the tools' systemd units pass
# systemd-analyze verify (where installed) without a word.
# Usage: package_test.sh BUILD_DIR BINDIR MANDIR DATAROOTDIR   (exit 77, skipped: no dpkg-deb)
set -euo pipefail
command -v dpkg-deb >/dev/null || { echo "dpkg-deb is not installed (package dpkg): skipped"; exit 77; }
build=$1 bin=./usr/$2 man=./usr/$3/man1 doc=./usr/$4/doc
out=$(mktemp -d /tmp/tavik-package-test.XXXXXX)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out") >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
status=0
check() {  # PACKAGE FILE...: the package holds exactly these files
  local got want
  got=$(dpkg-deb -c "$out"/"$1"_*.deb | awk '$1 !~ /^d/ { print $6 }' | sort) || got="no package"
  want=$(shift; printf '%s\n' "$@" | sort)
  [ "$got" = "$want" ] || { printf '%s holds:\n%s\nexpected:\n%s\n' "$1" "$got" "$want"; status=1; }
}
check tavik-update "$bin/tavik-update" "$man/tavik-update.1.gz" "$doc/tavik-update/copyright" "$doc/tavik-update/changelog.gz"
check tavik-tools "$bin/tavik-sign" "$bin/tavik-run" "$man/tavik-sign.1.gz" "$man/tavik-run.1.gz" \
  "$doc/tavik-tools/copyright" "$doc/tavik-tools/changelog.gz" "$doc/tavik-tools/update.conf.example" \
  ./lib/systemd/system/tavik-update.service ./lib/systemd/system/tavik-update.timer
for want in "tavik-tools:tavik-update (= " tavik-tools:libssl3 tavik-tools:libzstd1 tavik-update:libc6 tavik-update:libzstd1; do
  depends=$(dpkg-deb -f "$out"/"${want%%:*}"_*.deb Depends)
  case "$depends" in *"${want#*:}"*) ;; *) echo "${want%%:*}: Depends lacks ${want#*:}: $depends"; status=1 ;; esac
done
if command -v systemd-analyze >/dev/null && [ -d /lib/systemd/system ]; then
  root=$out/root units=$out/root/lib/systemd/system
  dpkg-deb -x "$out"/tavik-tools_*.deb "$root" && cp /lib/systemd/system/*.target "$units"
  # Under --root, ExecStart must name the tavik-run of the package.
  said=$(systemd-analyze verify --root="$root" --man=no "$units/tavik-update.timer" "$units/tavik-update.service" 2>&1) &&
    [ -z "$said" ] || { printf 'systemd-analyze verify:\n%s\n' "$said"; status=1; }
fi
exit $status
