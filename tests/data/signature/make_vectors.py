#!/usr/bin/env python3
"""Test vectors for the SHA-0 digest and the signature check, made with plain Python integers.

Writes vectors.txt next to this script from keys/development.key. Lines:
  sha0 <message hex or -> <digest hex, h0 first, big-endian words>
  q <q as 20 bytes little-endian hex>
  sig <message hex> <r then s, 20 bytes little-endian each, over e = h0 + h1 2^32 + ... + h4 2^128>
  sig-empty - <the same for empty data>
  fips <message hex> <r then s, 20 bytes big-endian each, over the big-endian SHA-1 digest>
The nonces come from a fixed seed, so the output is the same on every run.
"""
import hashlib
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))


def rol(x, n):
    return ((x << n) | (x >> (32 - n))) & 0xFFFFFFFF


def sha0_words(message):
    """SHA-0 chaining words after the last block (no rotation in the message schedule)."""
    h = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0]
    bits = (len(message) * 8) & 0xFFFFFFFF
    padded = message + b"\x80"
    padded += b"\x00" * ((56 - len(padded)) % 64)
    padded += struct.pack(">II", 0, bits)
    assert len(padded) % 64 == 0
    for off in range(0, len(padded), 64):
        w = list(struct.unpack(">16I", padded[off:off + 64]))
        for t in range(16, 80):
            w.append(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16])
        a, b, c, d, e = h
        for t in range(80):
            if t < 20:
                f, k = (b & c) | (~b & d), 0x5A827999
            elif t < 40:
                f, k = b ^ c ^ d, 0x6ED9EBA1
            elif t < 60:
                f, k = (b & c) | (b & d) | (c & d), 0x8F1BBCDC
            else:
                f, k = b ^ c ^ d, 0xCA62C1D6
            a, b, c, d, e = (rol(a, 5) + (f & 0xFFFFFFFF) + e + k + w[t]) & 0xFFFFFFFF, a, rol(b, 30), c, d
        h = [(x + y) & 0xFFFFFFFF for x, y in zip(h, (a, b, c, d, e))]
    return h


def load_key(path):
    values = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            name, value = line.split("=")
            values[name.strip()] = int(value.strip(), 16)
    return values


def dsa_sign(key, e, rng):
    p, q, g, x = key["p"], key["q"], key["g"], key["x"]
    while True:
        k = rng.randrange(1, q)
        r = pow(g, k, p) % q
        s = pow(k, -1, q) * (e + x * r) % q
        if r and s:
            return r, s


def dsa_check(key, e, r, s):
    p, q, g, y = key["p"], key["q"], key["g"], key["y"]
    w = pow(s, -1, q)
    return pow(g, e * w % q, p) * pow(y, r * w % q, p) % p % q == r


def pattern(n, seed):
    return bytes((i * 31 + seed) & 0xFF for i in range(n))


def main():
    key = load_key(os.path.join(ROOT, "keys", "development.key"))
    assert pow(key["g"], key["x"], key["p"]) == key["y"]
    rng = random.Random(20261206)
    lines = []

    digests = [b"", b"abc"] + [pattern(n, n) for n in (1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000)]
    for m in digests:
        words = sha0_words(m)
        lines.append("sha0 %s %s" % (m.hex() or "-", "".join("%08x" % v for v in words)))

    lines.append("q %s" % key["q"].to_bytes(20, "little").hex())

    messages = [b"abc", b"x", pattern(100, 7), pattern(4096, 3), b"[Signature]\r\n" * 5]
    messages += [b"message %d" % i for i in range(40)]
    for m in messages:
        words = sha0_words(m)
        e = sum(v << (32 * i) for i, v in enumerate(words))  # h0 least significant
        r, s = dsa_sign(key, e, rng)
        assert dsa_check(key, e, r, s)
        lines.append("sig %s %s" % (m.hex(), (r.to_bytes(20, "little") + s.to_bytes(20, "little")).hex()))

    # A valid signature of empty data: the verifier must still refuse an empty range.
    r, s = dsa_sign(key, sum(v << (32 * i) for i, v in enumerate(sha0_words(b""))), rng)
    lines.append("sig-empty - %s" % (r.to_bytes(20, "little") + s.to_bytes(20, "little")).hex())

    for m in messages[:2]:
        e = int.from_bytes(hashlib.sha1(m).digest(), "big")
        r, s = dsa_sign(key, e, rng)
        lines.append("fips %s %s" % (m.hex(), (r.to_bytes(20, "big") + s.to_bytes(20, "big")).hex()))

    with open(os.path.join(HERE, "vectors.txt"), "w") as f:
        f.write("# Made by make_vectors.py from keys/development.key; do not edit.\n")
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
