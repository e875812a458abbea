// Places the files of an installation request all together, or not at all.
#include "installer.hpp"

#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"

#include <boost/filesystem/path.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik_run {

tvk::ErrorCode error_code_for_errno(int err) {
    switch (err) {
        case 0: return tvk::EC_OK;
        case EACCES:
        case EPERM: return tvk::EC_PERMISSION_DENIED;
        case ENOENT: return tvk::EC_NO_SUCH_ENTRY;
        case ENOTDIR: return tvk::EC_NOT_A_DIRECTORY;
        case EISDIR: return tvk::EC_NOT_A_REGULAR_FILE;
        case EROFS: return tvk::EC_READ_ONLY_FS;
        case EEXIST: return tvk::EC_FILE_EXISTS;
        case EXDEV: return tvk::EC_CROSS_DEVICE_LINK;
        case ENOMEM: return tvk::EC_NO_MEMORY;
        case EMFILE:
        case ENFILE: return tvk::EC_LIMIT_REACHED;
        default: return tvk::EC_IO_ERROR;  // EIO, ENOSPC, EDQUOT, EFBIG and the like
    }
}

namespace {

std::string quoted(const std::string& path) {
    std::ostringstream out;
    out << boost::filesystem::path(path);
    return out.str();
}

struct failure_t {
    int err;
    std::string text;
};

std::string describe(const std::string& what, int err) { return what + ": " + std::strerror(err); }

std::string parent_of(const std::string& path) {
    std::string dir = boost::filesystem::path(path).parent_path().string();
    return dir.empty() ? "." : dir;
}

// Copies source into a fresh temporary beside destination; on success the temporary's name
// is stored in temp_path. On failure nothing of the temporary is left behind.
bool copy_to_temporary(const tvk::InstallItem& item, std::string& temp_path, failure_t& failure) {
    const std::string& source = item.source();
    const std::string& destination = item.destination();
    const std::string context = "Cannot copy " + quoted(source) + " to " + quoted(destination);
    const auto fail = [&](int err, const std::string& why) { return failure = {err, context + ": " + why}, false; };

    // A directory or device at the destination would be replaced by the rename; refuse early.
    struct stat dst {
    }, src{};
    const bool dst_exists = ::lstat(destination.c_str(), &dst) == 0;
    if (dst_exists && !S_ISREG(dst.st_mode)) return fail(EISDIR, "destination is not a regular file");
    if (!dst_exists && errno != ENOENT) return fail(errno, std::strerror(errno));
    fd_guard_t in(::open(source.c_str(), O_RDONLY));
    if (in.get() < 0 || ::fstat(in.get(), &src) != 0) return fail(errno, std::strerror(errno));
    if (!S_ISREG(src.st_mode)) return fail(EISDIR, "source is not a regular file");

    const std::string name = boost::filesystem::path(destination).filename().string();
    std::string pattern = parent_of(destination) + "/." + name + ".tavik-run.XXXXXX";
    fd_guard_t out(::mkstemp(&pattern[0]));
    if (out.get() < 0) return fail(errno, std::strerror(errno));
    ::fcntl(out.get(), F_SETFD, FD_CLOEXEC);

    boost::system::error_code ec;
    char buffer[65536];
    for (ssize_t n; !ec && (n = ::read(in.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno != EINTR)
            ec = last_errno();
        else if (n > 0)
            write_all(out.get(), buffer, static_cast<std::size_t>(n), ec);
    }
    int err = ec ? ec.value() : 0;
    if (ec == tvk::make_error_code(tvk::EC_UNEXPECTED_ERROR)) err = EIO;  // a write of nothing
    // The installed file keeps the mode (and, for root, the owner) of the one it replaces.
    if (err == 0 && ::fchmod(out.get(), dst_exists ? (dst.st_mode & 07777) : 0644) != 0) err = errno;
    if (err == 0 && dst_exists && ::geteuid() == 0 && ::fchown(out.get(), dst.st_uid, dst.st_gid) != 0) err = errno;
    if (err == 0 && ::fsync(out.get()) != 0) err = errno;
    if (out.close_checked() != 0 && err == 0) err = errno;
    if (err != 0) {
        ::unlink(pattern.c_str());
        return fail(err, std::strerror(err));
    }
    temp_path = pattern;
    return true;
}

// Makes the renames durable; some file systems refuse fsync on a directory, which is harmless.
void sync_directory(const std::string& dir) {
    fd_guard_t fd(::open(dir.c_str(), O_RDONLY));
    if (fd.get() >= 0) ::fsync(fd.get());
}

void fail(install_outcome_t& outcome, const failure_t& failure) {
    outcome.ok = false;
    outcome.error.set_code(error_code_for_errno(failure.err));
    outcome.error.set_what(failure.text);
}

}  // namespace

install_outcome_t install_files(const tvk::InstallRequest& request) {
    install_outcome_t outcome;
    std::vector<std::string> temps;
    temps.reserve(static_cast<std::size_t>(request.to_place_size()));

    for (const tvk::InstallItem& item : request.to_place()) {
        std::string temp;
        failure_t failure;
        if (!copy_to_temporary(item, temp, failure)) {
            for (const std::string& t : temps) ::unlink(t.c_str());
            fail(outcome, failure);
            return outcome;
        }
        temps.push_back(temp);
    }

    std::set<std::string> dirs;
    for (std::size_t i = 0; i < temps.size(); ++i) {
        const std::string& destination = request.to_place(static_cast<int>(i)).destination();
        if (::rename(temps[i].c_str(), destination.c_str()) != 0) {
            const int err = errno;
            for (std::size_t j = i; j < temps.size(); ++j) ::unlink(temps[j].c_str());
            std::ostringstream text;
            text << "Cannot rename " << quoted(temps[i]) << " to " << quoted(destination) << ": " << std::strerror(err)
                 << " (" << i << " of " << temps.size() << " files placed)";
            fail(outcome, {err, text.str()});
            for (const std::string& d : dirs) sync_directory(d);
            return outcome;
        }
        outcome.placed.push_back(destination);
        dirs.insert(parent_of(destination));
    }

    // A path that was just placed must not be deleted by the same request.
    const std::set<std::string> placed(outcome.placed.begin(), outcome.placed.end());
    for (const std::string& path : request.to_remove()) {
        if (placed.count(path)) {
            outcome.kept.push_back(path);
            continue;
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            const int err = errno;
            if (outcome.ok) fail(outcome, {err, describe("Cannot remove " + quoted(path), err)});
            continue;
        }
        outcome.removed.push_back(path);
        dirs.insert(parent_of(path));
    }
    for (const std::string& d : dirs) sync_directory(d);
    return outcome;
}

}  // namespace tavik_run
