// A signed file's signature text: the designed DSA signature, and Ed25519 parts beside it.
#pragma once

#include "files/ed25519_key.hpp"

#include "error.pb.h"

#include <cstddef>
#include <string>
#include <vector>

namespace upd {

// 80 hex digits of the DSA signature, then zero to four parts of 144: a KEYID (16 digits) and an
// Ed25519 signature (128) over the same covered bytes. The designed check reads only the first 40
// bytes the text decodes to, so readers without parts take such files as they are.
class signature_text_t {
public:
    static constexpr std::size_t dsa_digits = 80, part_digits = 144, max_parts = 4;
    struct part_t {
        std::string keyid;      // 16 lower-case hex digits
        std::string signature;  // 64 raw bytes
    };
    enum verdict_t { valid, damaged, dsa_refused, no_strong_part };

    explicit signature_text_t(std::string text);

    // False when what follows the DSA signature is not whole parts of hex digits, or more than four.
    bool well_formed() const { return well_formed_; }
    const std::vector<part_t>& parts() const { return parts_; }
    // The parts' KEYIDs, separated by ", "; "none" without parts.
    std::string keyids() const;

    // The designed DSA check over the covered bytes; with `strong` keys, one part must also verify
    // under the key its KEYID selects (parts of other keys, or that fail, count for nothing).
    verdict_t check(const void* data, std::size_t size, const ed25519_keys_t& strong) const;

    // For the readers of signed files: a text that does not pass check() throws
    // bad_signature_t(code, what), after a Debug line naming the check that failed and the parts.
    static void require(const void* data, std::size_t size, const std::string& text, const ed25519_keys_t& strong,
                        tvk::ErrorCode code, const char* what);

private:
    std::string text_;
    std::vector<part_t> parts_;
    bool well_formed_ = false;
};

}  // namespace upd
