// An Ed25519 public key that a build trusts beside the designed DSA key, and the keys of this build.
#include "files/ed25519_key.hpp"

#include "files/signature.hpp"
#include "framework/digest.hpp"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace upd {

ed25519_key_t ed25519_key_t::from_hex(const std::string& hex) {
    if (hex.size() != 2 * size || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw std::invalid_argument("an Ed25519 public key is 64 hex digits");
    ed25519_key_t key;
    const std::vector<unsigned char> bytes = hex_to_bytes(hex);
    key.raw_.assign(bytes.begin(), bytes.end());
    key.keyid_ = to_hex(cf_digest_t::of(key.raw_.data(), key.raw_.size()).substr(0, 8));
    return key;
}

bool ed25519_key_t::verifies(const void* data, std::size_t size, const std::string& signature) const {
    if (signature.size() != signature_size) return false;
    const std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(raw_.data()),
                                    raw_.size()),
        EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx) throw std::bad_alloc();
    return key && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            static_cast<const unsigned char*>(data), size) == 1;
}

}  // namespace upd
