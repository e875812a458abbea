// The publisher's Ed25519 keys: key files, key generation, and signature parts over covered bytes.
#include "tools/tavik-sign/ed25519_signer.hpp"

#include "files/signature.hpp"
#include "framework/digest.hpp"
#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/signer.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <sstream>
#include <stdexcept>

namespace sign {

namespace {

std::shared_ptr<EVP_PKEY> private_key(const std::string& seed) {
    std::shared_ptr<EVP_PKEY> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(seed.data()),
                                     seed.size()),
        EVP_PKEY_free);
    if (!key) throw std::runtime_error("OpenSSL refused the Ed25519 key");
    return key;
}

std::string raw_public(EVP_PKEY* key) {
    unsigned char raw[upd::ed25519_key_t::size];
    std::size_t size = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &size) != 1) throw std::runtime_error("OpenSSL refused the Ed25519 key");
    return ::to_hex(raw, size);
}

}  // namespace

std::string ed25519_signer_t::read_key_line(const std::string& path) {
    std::istringstream in(read_input(path));
    std::string found;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::size_t begin = line.find_first_not_of(" \t\r"), end = line.find_last_not_of(" \t\r");
        if (begin == std::string::npos || line[begin] == '#') continue;
        line = line.substr(begin, end + 1 - begin);
        if (!found.empty() || line.size() != 64 ||
            line.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw std::runtime_error("\"" + path + "\":" + std::to_string(number) +
                                     ": an Ed25519 key file holds one line of 64 hex digits");
        found = line;
    }
    if (found.empty()) throw std::runtime_error("\"" + path + "\": holds no Ed25519 key");
    return found;
}

ed25519_signer_t ed25519_signer_t::load(const std::string& path) {
    const std::vector<unsigned char> seed = upd::hex_to_bytes(read_key_line(path));
    ed25519_signer_t signer;
    signer.key_ = private_key(std::string(seed.begin(), seed.end()));
    signer.public_key_ = upd::ed25519_key_t::from_hex(raw_public(signer.key_.get()));
    return signer;
}

void ed25519_signer_t::generate(const std::string& out_basename) {
    unsigned char seed[upd::ed25519_key_t::size];
    if (RAND_priv_bytes(seed, sizeof seed) != 1) throw std::runtime_error("no random bytes for the key");
    const std::shared_ptr<EVP_PKEY> key = private_key(std::string(reinterpret_cast<char*>(seed), sizeof seed));
    const std::string pub = raw_public(key.get()), keyid = upd::ed25519_key_t::from_hex(pub).keyid();
    const std::string comment = "# tavik-update Ed25519 key " + keyid;
    write_key_pair(out_basename, comment + "\n" + pub + "\n",
                   comment + " (PRIVATE)\n" + ::to_hex(seed, sizeof seed) + "\n");
}

std::string ed25519_signer_t::part(const void* data, std::size_t size) const {
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char signature[upd::ed25519_key_t::signature_size];
    std::size_t length = sizeof signature;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature, &length, static_cast<const unsigned char*>(data), size) != 1)
        throw std::runtime_error("Ed25519 signing failed");
    return public_key_.keyid() + ::to_hex(signature, length);
}

}  // namespace sign
