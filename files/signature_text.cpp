// A signed file's signature text: the designed DSA signature, and Ed25519 parts beside it.
#include "files/signature_text.hpp"

#include "files/signature.hpp"
#include "framework/cf_log.hpp"

#include <algorithm>
#include <cctype>

namespace upd {

signature_text_t::signature_text_t(std::string text) : text_(std::move(text)) {
    const std::size_t tail = text_.size() > dsa_digits ? text_.size() - dsa_digits : 0;
    well_formed_ = tail % part_digits == 0 && tail / part_digits <= max_parts &&
                   std::all_of(text_.begin() + static_cast<std::ptrdiff_t>(text_.size() - tail), text_.end(),
                               [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
    if (!well_formed_) return;
    for (std::size_t at = dsa_digits; at < text_.size(); at += part_digits) {
        std::string keyid = text_.substr(at, 16);
        for (char& c : keyid) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::vector<unsigned char> signature = hex_to_bytes(text_.substr(at + 16, part_digits - 16));
        parts_.push_back({keyid, std::string(signature.begin(), signature.end())});
    }
}

std::string signature_text_t::keyids() const {
    std::string ids;
    for (const part_t& p : parts_) ids += (ids.empty() ? "" : ", ") + p.keyid;
    return ids.empty() ? "none" : ids;
}

signature_text_t::verdict_t signature_text_t::check(const void* data, std::size_t size,
                                                    const ed25519_keys_t& strong) const {
    if (!well_formed_) return damaged;
    if (!verify_signature(data, size, text_)) return dsa_refused;
    if (strong.empty()) return valid;
    for (const part_t& p : parts_)
        for (const ed25519_key_t& key : strong)
            if (key.keyid() == p.keyid && key.verifies(data, size, p.signature)) return valid;
    return no_strong_part;
}

void signature_text_t::require(const void* data, std::size_t size, const std::string& text,
                               const ed25519_keys_t& strong, tvk::ErrorCode code, const char* what) {
    const signature_text_t signature(text);
    const verdict_t verdict = signature.check(data, size, strong);
    if (verdict == valid) return;
    static const char* const failed[] = {"", "parts that are not whole", "the DSA signature",
                                         "no Ed25519 part by a built-in key"};
    LOG_DEBUG("Signature check failed: " << failed[verdict] << "; Ed25519 parts by " << signature.keyids());
    throw bad_signature_t(code, what);
}

}  // namespace upd
