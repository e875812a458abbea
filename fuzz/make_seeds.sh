#!/usr/bin/env bash
# Regenerates fuzz/seeds/<target>/ from the test fixtures and the cases of the unit tests.
# Targets over signed files read a first byte: even = the bytes as they are, odd = the bytes
# wrapped into a correctly signed file.
set -euo pipefail
cd "$(dirname "$0")/.."
data=tests/data/files
seeds=fuzz/seeds
rm -rf "$seeds"
mkdir -p "$seeds"/{lst_file,drl_file,ini,lzma,control_channel,url,http_response_parser,proxy_challenge}_fuzz

raw() { { printf '\000'; cat "$1"; } >"$2"; }
wrapped() { { printf '\001'; cat; } >"$1"; }

raw $data/version.lst $seeds/lst_file_fuzz/signed-lf
raw $data/version-crlf.lst $seeds/lst_file_fuzz/signed-crlf
raw $data/version.lst.forged $seeds/lst_file_fuzz/forged
sed -n '3,/TavikUpdateListEnd/p' $data/version.lst | sed '$d' | wrapped $seeds/lst_file_fuzz/body

raw $data/update.drl $seeds/drl_file_fuzz/signed-lf
raw $data/update-crlf.drl $seeds/drl_file_fuzz/signed-crlf
wrapped $seeds/drl_file_fuzz/body <$data/update.drl.unsigned

raw $data/zone.ini $seeds/ini_fuzz/signed
raw $data/zone.ini.forged $seeds/ini_fuzz/forged
wrapped $seeds/ini_fuzz/body <$data/zone.ini.unsigned

# lzma_alone containers with the size stated (the updater refuses an unstated size), and with it
# left unstated; then a text for the target to pack itself.
container() {
  python3 -c 'import lzma,struct,sys
d=sys.stdin.buffer.read(); c=lzma.compress(d, format=lzma.FORMAT_ALONE)
sys.stdout.buffer.write(b"\0"+(c if sys.argv[1]=="unstated" else c[:5]+struct.pack("<Q",len(d))+c[13:]))' "$1"
}
head -c 300 $data/version.lst | container stated >$seeds/lzma_fuzz/container
printf 'abcabcabc' | container stated >$seeds/lzma_fuzz/container-small
printf 'abcabcabc' | container unstated >$seeds/lzma_fuzz/container-unstated
wrapped $seeds/lzma_fuzz/text <$data/version.lst

# Frames of the configuration daemon: 4-byte little-endian length, one message.
frame() {
  local payload
  payload=$(mktemp)
  protoc -Iproto --encode=tvk.Configd2UpdateMessage proto/configd_update_ipc.proto >"$payload"
  python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); sys.stdout.buffer.write(struct.pack("<I",len(d))+d)' "$payload"
  rm -f "$payload"
}
context='tag: USE_CONTEXT config { update_dir: "/var/db/tavik/update" }'
{ echo "$context" | frame; echo 'tag: INSTALL_UPDATES_RESPONSE' | frame; } >$seeds/control_channel_fuzz/installed
{ echo "$context" | frame; echo 'tag: INSTALL_UPDATES_RESPONSE error { code: EC_PERMISSION_DENIED }' | frame; } \
  >$seeds/control_channel_fuzz/install-failed
echo 'tag: USE_CONTEXT' | frame >$seeds/control_channel_fuzz/no-config
printf '\005\000\000\000\010\001' >$seeds/control_channel_fuzz/short-payload

printf 'http://upd.example.net/a/b.lst' >$seeds/url_fuzz/plain
printf 'https://upd.example.net:8443/bases/' >$seeds/url_fuzz/port
printf 'upd.example.net:abc/f' >$seeds/url_fuzz/no-scheme

printf 'HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello' \
  >$seeds/http_response_parser_fuzz/ok
printf 'HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest a=b\r\n\r\n' \
  >$seeds/http_response_parser_fuzz/proxy
printf 'HTTP/1.1 301 Moved\r\nLocation: http://h:80/x\r\nEmpty:\r\n: nameless\r\n\r\n' \
  >$seeds/http_response_parser_fuzz/redirect
printf 'HTTP/1.1 200 OK\r\nA: 1\r\n \t \r\nB: 2\r\n\r\n' >$seeds/http_response_parser_fuzz/blank-line

printf 'Basic realm="proxy"' >$seeds/proxy_challenge_fuzz/basic
printf 'Digest realm="testrealm@host.com", qop="auth", nonce="dcd98b7102dd2f0e8b11d0f600bfb0c093"' \
  >$seeds/proxy_challenge_fuzz/digest-qop
printf 'Digest realm="r", nonce="abc", algorithm=MD5' >$seeds/proxy_challenge_fuzz/digest-md5
