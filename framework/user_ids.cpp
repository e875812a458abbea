// The account the updater runs as, and handing a directory tree over to it.
#include "framework/user_ids.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"

#include <boost/filesystem/exception.hpp>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

struct stat lstat_or_throw(const fs::path& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) throw fs::filesystem_error("lstat", path, last_errno());
    return st;
}

bool owned_by(user_ids_t& user, const struct stat& st) {
    return st.st_uid == static_cast<uid_t>(user.uid) && st.st_gid == static_cast<gid_t>(user_gid(user));
}

}  // namespace

user_ids_t resolve_user(const tvk::LocalUser& user) {
    user_ids_t ids;
    if (user.has_uid()) {
        ids.uid = static_cast<std::uint32_t>(user.uid());
        return ids;
    }
    errno = 0;
    const struct passwd* pw = ::getpwnam(user.name().c_str());
    if (!pw) {
        const int err = errno;
        throw std::runtime_error("getpwnam(\"" + user.name() + "\"): " + (err ? std::strerror(err) : "No such user"));
    }
    ids.uid = pw->pw_uid;
    ids.gid = pw->pw_gid;
    ids.gid_known = true;
    return ids;
}

std::uint32_t user_gid(user_ids_t& user) {
    if (user.gid_known) return user.gid;
    errno = 0;
    const struct passwd* pw = ::getpwuid(static_cast<uid_t>(user.uid));
    if (!pw) {
        const int err = errno;
        throw std::runtime_error("getpwuid(" + std::to_string(user.uid) +
                                 "): " + (err ? std::strerror(err) : "No user with such uid"));
    }
    user.gid = pw->pw_gid;
    user.gid_known = true;
    return user.gid;
}

std::string user_text(const user_ids_t& user) {
    std::string text = std::to_string(user.uid);
    if (user.gid_known) text += ":" + std::to_string(user.gid);
    return text;
}

namespace {

// Gives the open object to the account unless it has it already.
void chown_fd(user_ids_t& user, int fd, const struct stat& st, const fs::path& path) {
    if (owned_by(user, st)) return;
    if (::fchown(fd, static_cast<uid_t>(user.uid), static_cast<gid_t>(user_gid(user))) != 0) {
        throw fs::filesystem_error("chown", path, last_errno());
    }
    LOG_DEBUG("Ownership taken: " << path);
}

// Deeper trees are left as they are: each level holds two descriptors and a path, and the
// run-as account could otherwise nest folders until the walk runs out of either.
const int max_depth = 64;

// Walks the directory open at `dir`, `depth` levels below the start, by descriptor: every entry is
// opened relative to its parent without following links, and what is changed is the object
// opened, never a path resolved again, so no entry swapped in during the walk leads outside the tree.
void walk(user_ids_t& user, int dir, const fs::path& path, int depth) {
    if (depth == max_depth) {
        LOG_WARNING("Ownership not taken below " << path << ": deeper than " << max_depth << " levels");
        return;
    }
    fd_guard_t listing(::dup(dir));
    DIR* d = listing.get() >= 0 ? ::fdopendir(listing.get()) : nullptr;
    if (!d) throw fs::filesystem_error("opendir", path, last_errno());
    listing.release();
    std::unique_ptr<DIR, int (*)(DIR*)> closer(d, ::closedir);
    for (errno = 0; const struct dirent* entry = ::readdir(d); errno = 0) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const fs::path p = path / name;
        struct stat st;
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            throw fs::filesystem_error("lstat", p, last_errno());
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;  // links, sockets, devices stay as they are
        fd_guard_t fd(
            ::openat(dir, name.c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0)));
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) throw fs::filesystem_error("open", p, last_errno());
        if (S_ISDIR(st.st_mode)) {
            walk(user, fd.get(), p, depth + 1);
        } else if (!S_ISREG(st.st_mode)) {
            continue;  // swapped for something else since the fstatat
        } else if (st.st_nlink > 1) {
            // A hard link may be anybody's file, the password database included: leave it alone.
            LOG_WARNING("Ownership not taken: " << p << " has " << st.st_nlink << " links");
            continue;
        }
        chown_fd(user, fd.get(), st, p);
    }
    if (errno != 0) throw fs::filesystem_error("readdir", path, last_errno());
}

}  // namespace

void take_ownership(user_ids_t& user, const fs::path& dir) {
    const struct stat top = lstat_or_throw(dir);
    if (!S_ISDIR(top.st_mode)) {
        throw fs::filesystem_error("take_ownership", dir, tvk::make_error_code(tvk::EC_NOT_A_DIRECTORY));
    }
    fd_guard_t fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) throw fs::filesystem_error("open", dir, last_errno());
    walk(user, fd.get(), dir, 0);
    chown_fd(user, fd.get(), st, dir);
}
