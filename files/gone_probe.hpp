// Whether files are gone, asked for many paths at once, reading a folder instead of a stat per file.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace upd {

// Tells whether a path is gone, as a stat failing with ENOENT or ENOTDIR would, but reads a
// directory once when it holds many of the paths asked about: saving the cache of a large
// installation would otherwise cost one system call per file.
class gone_probe_t {
public:
    // As a stat failing with ENOENT or ENOTDIR would tell.
    bool gone(const std::string& path);

private:
    // Below this many paths in one directory, a stat each is cheaper than reading the directory.
    static constexpr unsigned listing_threshold = 8;

    // A name and whether only a stat can tell (a symbolic link may dangle; type unknown).
    using entry_t = std::pair<std::string, bool>;

    struct directory_t {
        enum { unread, listed, missing, unlistable } state = unread;
        unsigned asked = 0;
        std::vector<entry_t> names;  // sorted by name
    };

    static bool stat_gone(const std::string& path);

    static void read(const std::string& parent, directory_t& dir);

    std::unordered_map<std::string, directory_t> directories_;
    std::string parent_;
    std::string name_;
};

}  // namespace upd
