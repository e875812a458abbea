// The publisher's Ed25519 keys: key files, key generation, and signature parts over covered bytes.
#pragma once

#include "files/ed25519_key.hpp"

#include <cstddef>
#include <memory>
#include <string>

struct evp_pkey_st;

namespace sign {

class ed25519_signer_t {
public:
    // A key file: one line of 64 hex digits (the 32-byte seed in OUT.key, the public key in
    // OUT.pub), '#' comments and blank lines allowed; std::runtime_error naming file and line.
    static std::string read_key_line(const std::string& path);
    // From OUT.key.
    static ed25519_signer_t load(const std::string& path);
    // A new pair: OUT.pub and OUT.key (mode 0600), never overwriting a file.
    static void generate(const std::string& out_basename);

    const upd::ed25519_key_t& public_key() const { return public_key_; }
    // The part over the bytes: the KEYID, then the signature; 144 lower-case hex digits.
    std::string part(const void* data, std::size_t size) const;

private:
    std::shared_ptr<evp_pkey_st> key_;
    upd::ed25519_key_t public_key_;
};

}  // namespace sign
