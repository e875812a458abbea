// One file to install: where it goes, where it was downloaded, its size and SHA-256.
#include "engine/file_item.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"

#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace upd {

namespace {

struct md_ctx_deleter_t {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

void file_item_t::compute_digest() {
    try {
        boost::system::error_code open_error;
        fd_guard_t file(open_regular(source.c_str(), open_error, nullptr, O_NOFOLLOW));  // in the work folder
        if (file.get() < 0) throw boost::system::system_error(open_error, "open");
        std::unique_ptr<EVP_MD_CTX, md_ctx_deleter_t> ctx(EVP_MD_CTX_new());
        if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
        char buffer[8192];
        std::uint32_t count = 0;
        for (;;) {
            ssize_t n = ::read(file.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            // A failed read must not pass for the end of the file: the digest would be of a prefix.
            if (n < 0) throw boost::system::system_error(errno, boost::system::system_category(), "read");
            if (n == 0) break;
            EVP_DigestUpdate(ctx.get(), buffer, static_cast<std::size_t>(n));
            count += static_cast<std::uint32_t>(n);
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx.get(), digest, &length);
        size = count;
        sha256.assign(reinterpret_cast<const char*>(digest), length);
    } catch (const std::exception& e) {
        LOG_ERROR("HASH: " << boost::filesystem::path(source) << ": " << exception_text(e));
        throw tvk::EC_IO_ERROR;
    }
}

}  // namespace upd
