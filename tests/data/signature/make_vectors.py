#!/usr/bin/env python3
"""Writes vectors.txt with plain integers: lines "sha0 M DIGEST", "q Q", "sig M R+S" and "sig-empty - R+S",
messages in hex ("-": empty); R and S 20 bytes little-endian each, over e = h0 + h1 2^32 + ... + h4 2^128
of SHA-0. A fixed seed: the same each run."""
import os, random, struct

HERE = os.path.dirname(os.path.abspath(__file__))
M32 = 0xFFFFFFFF


def sha0_words(message):  # SHA-1 without the rotation in the message schedule
    rol = lambda x, n: ((x << n) | (x >> (32 - n))) & M32
    h = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0]
    padded = message + b"\x80" + b"\x00" * ((55 - len(message)) % 64) + struct.pack(">II", 0, len(message) * 8 & M32)
    for off in range(0, len(padded), 64):
        w = list(struct.unpack(">16I", padded[off:off + 64]))
        for t in range(16, 80):
            w.append(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16])
        a, b, c, d, e = h
        for t in range(80):
            f, k = [((b & c) | (~b & d), 0x5A827999), (b ^ c ^ d, 0x6ED9EBA1),
                    ((b & c) | (b & d) | (c & d), 0x8F1BBCDC), (b ^ c ^ d, 0xCA62C1D6)][t // 20]
            a, b, c, d, e = (rol(a, 5) + (f & M32) + e + k + w[t]) & M32, a, rol(b, 30), c, d
        h = [(x + y) & M32 for x, y in zip(h, (a, b, c, d, e))]
    return h


def sign(key, e, rng):
    p, q, g, x, y = (key[n] for n in "pqgxy")
    while True:
        k = rng.randrange(1, q)
        r = pow(g, k, p) % q
        s = pow(k, -1, q) * (e + x * r) % q
        w = pow(s, -1, q) if s else 0
        if r and s and pow(g, e * w % q, p) * pow(y, r * w % q, p) % p % q == r:
            return (r.to_bytes(20, "little") + s.to_bytes(20, "little")).hex()


def main():
    key = {}
    for line in open(os.path.join(HERE, "..", "..", "..", "keys", "development.key")):
        if line.strip() and not line.strip().startswith("#"):
            name, value = line.split("=")
            key[name.strip()] = int(value, 16)
    pattern = lambda n, seed: bytes((i * 31 + seed) & 0xFF for i in range(n))
    little = lambda m: sum(v << (32 * i) for i, v in enumerate(sha0_words(m)))
    rng = random.Random(20261206)
    lines = ["sha0 %s %s" % (m.hex() or "-", "".join("%08x" % v for v in sha0_words(m)))
             for m in [b"", b"abc"] + [pattern(n, n) for n in (1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000)]]
    lines.append("q %s" % key["q"].to_bytes(20, "little").hex())
    messages = [b"abc", b"x", pattern(100, 7), pattern(4096, 3), b"[Signature]\r\n" * 5] + [b"message %d" % i for i in range(40)]
    lines += ["sig %s %s" % (m.hex(), sign(key, little(m), rng)) for m in messages]
    lines.append("sig-empty - %s" % sign(key, little(b""), rng))  # an empty range is still refused
    with open(os.path.join(HERE, "vectors.txt"), "w") as f:
        f.write("# Made by make_vectors.py from keys/development.key; do not edit.\n" + "\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
