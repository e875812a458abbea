// Key material of the signature check, generated at build time from the configured public key.
#pragma once

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

// What --version says about the keys: "key <fingerprint>, ed25519 <KEYIDs>", each marked
// " (development key)" when it is the repository's own, so that an administrator can tell builds
// apart by what they trust.
inline std::string describe() {
    const std::string ed25519 = *ed25519_keyids ? std::string("ed25519 ") + ed25519_keyids : "no ed25519 key";
    return std::string("key ") + fingerprint + (development ? " (development key)" : "") + ", " + ed25519 +
           (ed25519_development ? " (development key)" : "");
}

}  // namespace key
}  // namespace upd
