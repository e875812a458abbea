// The keys a publisher signs with: the DSA key and the Ed25519 keys beside it.
#pragma once

#include "tools/tavik-sign/ed25519_signer.hpp"
#include "tools/tavik-sign/signer.hpp"

#include <string>
#include <vector>

namespace sign {

struct signing_keys_t {
    private_key_t dsa;
    std::vector<ed25519_signer_t> ed25519;

    // The DSA key file and the Ed25519 key files (OUT.key of keygen), each checked before anything
    // is signed.
    static signing_keys_t load(const std::string& dsa_path, const std::vector<std::string>& ed25519_paths);

    // The signature text over `covered`: the DSA signature, checked against the key's public values,
    // then a part per Ed25519 key, in the order given.
    std::string signature(const std::string& covered) const;
    // Whether `text` is exactly such a text over `covered` (the DSA signature may be any valid one).
    bool signed_text(const std::string& covered, const std::string& text) const;
    // The Ed25519 keys' public halves, in the order given.
    upd::ed25519_keys_t ed25519_public() const;
    // Whether the DSA signature of `text` over `covered` verifies under the DSA key.
    bool dsa_verifies(const std::string& covered, const std::string& text) const;
    // Whether one of the Ed25519 keys made a part of `text` over `covered`: one by its KEYID that verifies.
    bool ed25519_verifies(const std::string& covered, const std::string& text) const;

    // Says on standard output which keys sign, and warns on standard error when a client built as
    // this program was would refuse what they sign (the build's keys are the updater's).
    void announce(const char* who) const;

    // The DSA key's fingerprint, as the updater's --version shows it.
    std::string fingerprint() const;
    // The Ed25519 keys' KEYIDs, separated by ", "; "none".
    std::string keyids() const;
};

}  // namespace sign
