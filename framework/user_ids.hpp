// The account the updater runs as, and handing a directory tree over to it.
#pragma once

#include "local_user.pb.h"

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <string>

struct user_ids_t {
    std::uint32_t uid = 0;
    bool gid_known = false;
    std::uint32_t gid = 0;  // valid when gid_known
};

// By uid when given (the gid is looked up later), else by name; throws std::runtime_error.
user_ids_t resolve_user(const tvk::LocalUser& user);

// The account's group, looked up with getpwuid on first use; throws std::runtime_error.
std::uint32_t user_gid(user_ids_t& user);

// "uid" or, once the group is known, "uid:gid".
std::string user_text(const user_ids_t& user);

// Gives `dir` and every directory and regular file below it, down to 64 levels, to the account,
// walking by descriptor: links are not followed, and a regular file with more than one link is
// left alone (Warning).
void take_ownership(user_ids_t& user, const boost::filesystem::path& dir);
