// A signed file's signature text: the designed DSA signature, and Ed25519 parts beside it.
#pragma once

#include "files/ed25519_key.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace upd {

// 80 hex digits of the DSA signature, then zero to four parts of 144: a KEYID (16 digits) and an
// Ed25519 signature (128) over the same covered bytes. The designed check reads only the first 40
// bytes the text decodes to, so readers without parts take such files as they are. Which parts a
// file needs is list_trust_t's to say.
class signature_text_t {
public:
    static constexpr std::size_t dsa_digits = 80, part_digits = 144, max_parts = 4;
    struct part_t {
        std::string keyid;      // 16 lower-case hex digits
        std::string signature;  // 64 raw bytes
    };
    // What one part is worth under a set of keys.
    struct part_verdict_t {
        std::string keyid;
        const ed25519_key_t* key;  // the key its KEYID names; none: not one of the keys
        bool valid;                // it verifies under that key
    };

    explicit signature_text_t(std::string text);

    // False when what follows the DSA signature is not whole parts of hex digits, or more than four.
    bool well_formed() const { return well_formed_; }
    const std::vector<part_t>& parts() const { return parts_; }
    // The parts' KEYIDs, separated by ", "; "none" without parts.
    std::string keyids() const;

    // The designed DSA check over the covered bytes, under the built-in key.
    bool dsa_verifies(const void* data, std::size_t size) const;
    // Each part, in order, with the key of `keys` its KEYID names and whether it verifies under it.
    std::vector<part_verdict_t> part_verdicts(const void* data, std::size_t size, const ed25519_keys_t& keys) const;

private:
    std::string text_;
    std::vector<part_t> parts_;
    bool well_formed_ = false;
};

}  // namespace upd
