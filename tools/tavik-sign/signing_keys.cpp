// The keys a publisher signs with: the DSA key and the Ed25519 keys beside it.
#include "tools/tavik-sign/signing_keys.hpp"

#include "files/list_trust.hpp"
#include "files/public_key.hpp"
#include "files/signature_text.hpp"
#include "tools/key-tables/key_file.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sign {

signing_keys_t signing_keys_t::load(const std::string& dsa_path, const std::vector<std::string>& ed25519_paths) {
    signing_keys_t keys{load_private_key(dsa_path), {}};
    for (const std::string& path : ed25519_paths) keys.ed25519.push_back(ed25519_signer_t::load(path));
    return keys;
}

std::string signing_keys_t::signature(const std::string& covered) const {
    std::string text = sign_checked(dsa, covered);
    for (const ed25519_signer_t& key : ed25519) text += key.part(covered.data(), covered.size());
    return text;
}

upd::ed25519_keys_t signing_keys_t::ed25519_public() const {
    upd::ed25519_keys_t keys;
    for (const ed25519_signer_t& key : ed25519) keys.push_back(key.public_key());
    return keys;
}

bool signing_keys_t::signed_text(const std::string& covered, const std::string& text) const {
    const upd::signature_text_t parsed(text);
    const upd::ed25519_keys_t keys = ed25519_public();
    const auto parts = parsed.part_verdicts(covered.data(), covered.size(), keys);
    if (!parsed.well_formed() || parts.size() != keys.size() || !dsa_verifies(covered, text)) return false;
    for (std::size_t i = 0; i < parts.size(); ++i)
        if (parts[i].keyid != keys[i].keyid() || !parts[i].valid) return false;
    return true;
}

bool signing_keys_t::dsa_verifies(const std::string& covered, const std::string& text) const {
    return verify_hex(dsa.public_part(), covered.data(), covered.size(),
                      text.substr(0, upd::signature_text_t::dsa_digits));
}

bool signing_keys_t::ed25519_verifies(const std::string& covered, const std::string& text) const {
    const auto parts = upd::signature_text_t(text).part_verdicts(covered.data(), covered.size(), ed25519_public());
    return std::any_of(parts.begin(), parts.end(),
                       [](const upd::signature_text_t::part_verdict_t& p) { return p.valid; });
}

std::string signing_keys_t::fingerprint() const {
    return keyfile::fingerprint({{"p", dsa.p}, {"q", dsa.q}, {"g", dsa.g}, {"y", dsa.y}});
}

void signing_keys_t::announce(const char* who) const {
    std::printf("%s: signing with DSA key %s and Ed25519 keys %s\n", who, fingerprint().c_str(), keyids().c_str());
    if (fingerprint() != upd::key::fingerprint)
        std::fprintf(stderr, "%s: warning: the DSA key %s is not the one this build trusts (%s)\n", who,
                     fingerprint().c_str(), upd::key::fingerprint);
    const upd::list_trust_t& trust = upd::list_trust_t::built_in();
    const std::size_t known = std::count_if(ed25519.begin(), ed25519.end(), [&](const ed25519_signer_t& key) {
        return std::any_of(trust.keys().begin(), trust.keys().end(),
                           [&](const upd::ed25519_key_t& k) { return k.raw() == key.public_key().raw(); });
    });
    if (!trust.keys().empty() && known == 0)
        std::fprintf(stderr,
                     "%s: warning: none of the Ed25519 keys (%s) is one this build trusts (%s): its clients would "
                     "refuse every list\n",
                     who, keyids().c_str(), upd::key::ed25519_keyids);
    else if (!trust.keys().empty() && known < trust.threshold())
        std::fprintf(stderr,
                     "%s: warning: %zu of the Ed25519 keys given %s this build trusts, which needs parts by %zu of "
                     "its %zu keys: its clients would refuse every list\n",
                     who, known, known == 1 ? "is one" : "are ones", trust.threshold(), trust.keys().size());
}

std::string signing_keys_t::keyids() const {
    std::string ids;
    for (const ed25519_signer_t& key : ed25519) ids += (ids.empty() ? "" : ", ") + key.public_key().keyid();
    return ids.empty() ? "none" : ids;
}

}  // namespace sign
