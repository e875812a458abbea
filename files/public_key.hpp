// Key material of the signature check, generated at build time from the configured public key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// y^(2^(40 i)) mod p in Montgomery form (times 2^512 mod p) for i = 0..3, 64 bytes each,
// little-endian; below 2^512 but not necessarily below p.
extern const unsigned char PublicKey[256];

namespace upd {
namespace key {

extern const unsigned char modulus_p[64];  // p, 512 bits, little-endian
extern const unsigned char order_q[20];    // q, 160 bits with the top bit set, little-endian
extern const unsigned char q_2_320[20];    // 2^320 mod q, little-endian
extern const unsigned char q_2_672[20];    // 2^672 mod q, little-endian
extern const std::uint16_t p_factor;       // -p^-1 mod 2^16
extern const std::uint16_t q_factor;       // -q^-1 mod 2^16
// Entry 16 i + j (64 bytes, little-endian): (g^(2^(40 i)))^(2 j + 1) in Montgomery form mod p.
extern const unsigned char generator_table[4096];
// Whether the key is the development key of the repository (anyone can sign for it).
extern const bool development;
// First 16 hex digits of the SHA-256 of the key's values ("p=<hex>\nq=...\ng=...\ny=...\n", lower
// case, no leading zeros).
extern const char fingerprint[17];

// The KEYIDs of the build's Ed25519 keys ("a, b"; empty: none), and whether the repository's
// development key is among them.
extern const char ed25519_keyids[];
extern const bool ed25519_development;
// How many distinct ones must each have made a part of a list (TAVIK_ED25519_THRESHOLD), and whether
// a list from a server must name its zone and carry an expiry (TAVIK_STRICT_LISTS).
extern const unsigned ed25519_threshold;
extern const bool strict_lists;

// What --version says about the keys: "key <fingerprint>, ed25519 <KEYIDs>", each marked
// " (development key)" when it is the repository's own, then "K of N" keys a list needs and whether
// lists are strict, so that an administrator can tell builds apart by what they trust.
inline std::string describe() {
    std::size_t keys = *ed25519_keyids ? 1 : 0;
    for (const char* c = ed25519_keyids; *c; ++c) keys += *c == ',';
    const std::string ed25519 = keys ? std::string("ed25519 ") + ed25519_keyids : "no ed25519 key";
    return std::string("key ") + fingerprint + (development ? " (development key)" : "") + ", " + ed25519 +
           (ed25519_development ? " (development key)" : "") +
           (keys ? ", " + std::to_string(ed25519_threshold) + " of " + std::to_string(keys) : std::string()) +
           (strict_lists ? ", strict lists" : ", lenient lists");
}

}  // namespace key
}  // namespace upd
