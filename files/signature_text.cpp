// A signed file's signature text: the designed DSA signature, and Ed25519 parts beside it.
#include "files/signature_text.hpp"

#include "files/signature.hpp"

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

bool signature_text_t::dsa_verifies(const void* data, std::size_t size) const {
    return verify_signature(data, size, text_);
}

std::vector<signature_text_t::part_verdict_t> signature_text_t::part_verdicts(const void* data, std::size_t size,
                                                                              const ed25519_keys_t& keys) const {
    std::vector<part_verdict_t> verdicts;
    for (const part_t& p : parts_) {
        const auto key =
            std::find_if(keys.begin(), keys.end(), [&](const ed25519_key_t& k) { return k.keyid() == p.keyid; });
        const ed25519_key_t* known = key == keys.end() ? nullptr : &*key;
        verdicts.push_back({p.keyid, known, known && known->verifies(data, size, p.signature)});
    }
    return verdicts;
}

}  // namespace upd
