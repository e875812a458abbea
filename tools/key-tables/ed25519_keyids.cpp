// Configure-time helper: the KEYID of each Ed25519 public key given in hex (the first 8 bytes of
// SHA-256 over its raw bytes), one a line. It builds only against an OpenSSL that has Ed25519.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        unsigned char raw[32], digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        for (int j = 0; j < 32; ++j)
            raw[j] = static_cast<unsigned char>(std::strtoul(std::string(argv[i] + 2 * j, 2).c_str(), nullptr, 16));
        EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw, sizeof raw);
        if (!key || EVP_Digest(raw, sizeof raw, digest, &size, EVP_sha256(), nullptr) != 1) return 1;
        EVP_PKEY_free(key);
        for (int j = 0; j < 8; ++j) std::printf("%02x", digest[j]);
        std::printf("\n");
    }
    return 0;
}
