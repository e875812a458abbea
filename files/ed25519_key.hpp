// An Ed25519 public key that a build trusts beside the designed DSA key, and the keys of this build.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace upd {

// 32 raw bytes. Its KEYID, which a signature part names it by, is the first 8 bytes of SHA-256
// over them.
class ed25519_key_t {
public:
    static constexpr std::size_t size = 32, signature_size = 64;

    // From 64 hex digits (either case); std::invalid_argument for anything else.
    static ed25519_key_t from_hex(const std::string& hex);

    const std::string& raw() const { return raw_; }
    // 16 lower-case hex digits, worked out once: every part of every signed file is matched by it.
    const std::string& keyid() const { return keyid_; }
    // Whether `signature` (64 raw bytes) is the pure Ed25519 signature (RFC 8032) of the bytes.
    bool verifies(const void* data, std::size_t size, const std::string& signature) const;

private:
    std::string raw_, keyid_;
};

using ed25519_keys_t = std::vector<ed25519_key_t>;

// The keys compiled into this build from TAVIK_ED25519_KEYS; empty for a build without.
const ed25519_keys_t& built_in_ed25519_keys();

}  // namespace upd
