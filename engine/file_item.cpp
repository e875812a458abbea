// One file to install: where it goes, where it was downloaded, its size and SHA-256.
#include "engine/file_item.hpp"

#include "framework/cf_log.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/digest.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"

#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include <fcntl.h>

namespace upd {

void file_item_t::compute_digest() {
    try {
        boost::system::error_code open_error;
        fd_guard_t file(open_regular(source.c_str(), open_error, nullptr, O_NOFOLLOW));  // in the work folder
        if (file.get() < 0) throw boost::system::system_error(open_error, "open");
        cf_digest_t digest;
        size = static_cast<std::uint32_t>(digest_fd(file.get(), {&digest}));
        sha256 = digest.finish();
    } catch (const std::exception& e) {
        LOG_ERROR("HASH: " << boost::filesystem::path(source) << ": " << exception_text(e));
        throw cf_outcome_t(tvk::EC_IO_ERROR);
    }
}

}  // namespace upd
