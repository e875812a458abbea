// Whether files are gone, asked for many paths at once, reading a folder instead of a stat per file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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

    // A name in its folder's area, and whether only a stat can tell (a symbolic link may dangle;
    // type unknown): 8 bytes and the name's own, for folders of hundreds of thousands of files.
    struct entry_t {
        std::uint32_t offset;
        std::uint8_t size;  // a name has at most 255 bytes
        bool needs_stat;
    };

    struct directory_t {
        enum { unread, listed, missing, unlistable } state = unread;
        unsigned asked = 0;
        std::string area;
        std::vector<entry_t> names;  // sorted by name
        std::string_view name(const entry_t& e) const { return std::string_view(area).substr(e.offset, e.size); }
    };

    static bool stat_gone(const std::string& path);

    static void read(const std::string& parent, directory_t& dir);

    std::unordered_map<std::string, directory_t> directories_;
    std::string parent_;
    std::string name_;
};

}  // namespace upd
