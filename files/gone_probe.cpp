// Whether files are gone, asked for many paths at once, reading a folder instead of a stat per file.
#include "files/gone_probe.hpp"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <sys/stat.h>

namespace upd {

bool gone_probe_t::gone(const std::string& s) {
    const std::size_t slash = s.rfind('/');
    if (slash == std::string::npos || slash + 1 == s.size()) return stat_gone(s);
    name_.assign(s, slash + 1, std::string::npos);
    if (name_ == "." || name_ == "..") return stat_gone(s);

    // Reused buffers: no allocation per path once they have grown.
    parent_.assign(s, 0, slash == 0 ? 1 : slash);
    directory_t& dir = directories_[parent_];
    if (dir.state == directory_t::unread && ++dir.asked > listing_threshold) read(parent_, dir);
    switch (dir.state) {
        case directory_t::missing: return true;
        case directory_t::listed: {
            auto it = std::lower_bound(dir.names.begin(), dir.names.end(), name_,
                                       [](const entry_t& e, const std::string& n) { return e.first < n; });
            if (it == dir.names.end() || it->first != name_) return true;
            return it->second ? stat_gone(s) : false;
        }
        default: return stat_gone(s);
    }
}

bool gone_probe_t::stat_gone(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

void gone_probe_t::read(const std::string& parent, directory_t& dir) {
    DIR* d = ::opendir(parent.c_str());
    if (!d) {
        dir.state = (errno == ENOENT || errno == ENOTDIR) ? directory_t::missing : directory_t::unlistable;
        return;
    }
    dir.state = directory_t::listed;
    errno = 0;
    while (struct dirent* entry = ::readdir(d)) {
#if defined(DT_UNKNOWN) && defined(DT_LNK)
        const bool needs_stat = entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK;
#else
        const bool needs_stat = true;
#endif
        dir.names.emplace_back(entry->d_name, needs_stat);
    }
    if (errno != 0) {
        dir.state = directory_t::unlistable;
        dir.names.clear();
    }
    ::closedir(d);
    std::sort(dir.names.begin(), dir.names.end());
}

}  // namespace upd
