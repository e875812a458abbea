// Digests (SHA-256, MD5) of bytes fed in runs or of a whole open file, and the hex form of bytes.
#include "framework/digest.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <unistd.h>

cf_digest_t::cf_digest_t(const EVP_MD* md) : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
    if (!ctx_) throw std::bad_alloc();
    if (EVP_DigestInit_ex(ctx_.get(), md, nullptr) != 1) throw std::runtime_error("EVP_DigestInit_ex failed");
}

void cf_digest_t::update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(ctx_.get(), data, size) != 1) throw std::runtime_error("EVP_DigestUpdate failed");
}

std::string cf_digest_t::finish() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), md, &size) != 1) throw std::runtime_error("EVP_DigestFinal_ex failed");
    return std::string(reinterpret_cast<const char*>(md), size);
}

std::string cf_digest_t::of(const void* data, std::size_t size, const EVP_MD* md) {
    cf_digest_t digest(md);
    digest.update(data, size);
    return digest.finish();
}

std::uint64_t digest_fd(int fd, std::initializer_list<cf_digest_t*> digests) {
    char buffer[65536];
    std::uint64_t count = 0;
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw boost::system::system_error(errno, boost::system::system_category(), "read");
        for (cf_digest_t* d : digests)
            if (d) d->update(buffer, static_cast<std::size_t>(n));
        count += static_cast<std::uint64_t>(n);
    }
    return count;
}

std::string to_hex(const void* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::string text(2 * size, '0');
    for (std::size_t i = 0; i < size; ++i) text[2 * i] = digits[bytes[i] >> 4], text[2 * i + 1] = digits[bytes[i] & 15];
    return text;
}
