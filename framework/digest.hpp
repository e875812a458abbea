// Digests (SHA-256, MD5) of bytes fed in runs or of a whole open file, and the hex form of bytes.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

// One running digest computation; EVP_md_null() computes nothing (an empty result).
class cf_digest_t {
public:
    explicit cf_digest_t(const EVP_MD* md = EVP_sha256());

    void update(const void* data, std::size_t size);
    // The raw digest bytes; the object is spent.
    std::string finish();

    // The digest of [data, data + size).
    static std::string of(const void* data, std::size_t size, const EVP_MD* md = EVP_sha256());

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx_;
};

// Feeds what an open descriptor reads until its end to each digest given (null ones are left out)
// and returns the count of bytes: a failed read throws system_error("read"), never passing for the
// end of the file, whose digest would describe a file that does not exist.
std::uint64_t digest_fd(int fd, std::initializer_list<cf_digest_t*> digests);

// Lower-case hex digits, two per byte.
std::string to_hex(const void* data, std::size_t size);
inline std::string to_hex(const std::string& bytes) { return to_hex(bytes.data(), bytes.size()); }
