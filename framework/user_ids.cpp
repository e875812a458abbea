// The account the updater runs as, and handing a directory tree over to it.
#include "framework/user_ids.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

boost::system::error_code errno_code() {
    return boost::system::error_code(errno, boost::system::system_category());
}

struct stat lstat_or_throw(const fs::path& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) throw fs::filesystem_error("lstat", path, errno_code());
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
        throw std::runtime_error("getpwnam(\"" + user.name() + "\"): " +
                                 (err ? std::strerror(err) : "No such user"));
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
        throw std::runtime_error("getpwuid(" + std::to_string(user.uid) + "): " +
                                 (err ? std::strerror(err) : "No user with such uid"));
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

void chown_path(user_ids_t& user, const fs::path& path) {
    const gid_t gid = static_cast<gid_t>(user_gid(user));
    // lchown: an entry swapped for a link between the check and the change must not hand
    // the link's target (anywhere on the system) to the account.
    if (::lchown(path.c_str(), static_cast<uid_t>(user.uid), gid) != 0) {
        throw fs::filesystem_error("chown", path, errno_code());
    }
    LOG_DEBUG("Ownership taken: " << path);
}

void take_ownership(user_ids_t& user, const fs::path& dir) {
    const struct stat top = lstat_or_throw(dir);
    if (!S_ISDIR(top.st_mode)) {
        throw fs::filesystem_error("take_ownership", dir, tvk::make_error_code(tvk::EC_NOT_A_DIRECTORY));
    }
    // Default options: links to directories are listed but not descended into.
    for (fs::recursive_directory_iterator it(dir), end; it != end; ++it) {
        const fs::path& entry = it->path();
        const struct stat st = lstat_or_throw(entry);
        if ((S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) && !owned_by(user, st)) chown_path(user, entry);
    }
    if (!owned_by(user, top)) chown_path(user, dir);
}
