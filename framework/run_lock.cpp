// One run at a time: an advisory lock on a file that stays between runs.
#include "framework/run_lock.hpp"

#include "framework/error_code.hpp"
#include "framework/fd_io.hpp"

#include <boost/filesystem/exception.hpp>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace upd {

run_lock_t::run_lock_t(const std::string& path) : path_(path) {
    fd_.reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (fd_.get() < 0) throw boost::filesystem::filesystem_error("lock", path_, last_errno());
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) throw boost::filesystem::filesystem_error("lock", path_, last_errno());
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        throw boost::filesystem::filesystem_error(
            "lock", path_,
            boost::system::error_code(S_ISREG(st.st_mode) ? EMLINK : ENXIO, boost::system::system_category()));
    }
}

bool run_lock_t::try_lock() {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK || errno == EINTR) return false;
        throw boost::filesystem::filesystem_error("lock", path_, last_errno());
    }
    // Over the start of what was there: a shorter id leaves the rest of a longer one behind its line end.
    const std::string id = std::to_string(static_cast<long>(::getpid())) + "\n";
    (void)!::pwrite(fd_.get(), id.data(), id.size(), 0);
    return true;
}

long run_lock_t::holder() const {
    char text[24] = {};
    const ssize_t n = ::pread(fd_.get(), text, sizeof text - 1, 0);
    char* end = nullptr;
    const long pid = n > 0 ? std::strtol(text, &end, 10) : 0;
    return pid > 0 && end && *end == '\n' ? pid : 0;
}

}  // namespace upd
