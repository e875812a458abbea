// Whether files are gone, asked for many paths at once, reading a folder instead of a stat per file.
#include "files/gone_probe.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

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
            auto it = std::lower_bound(dir.names.begin(), dir.names.end(), std::string_view(name_),
                                       [&dir](const entry_t& e, std::string_view n) { return dir.name(e) < n; });
            if (it == dir.names.end() || dir.name(*it) != name_) return true;
            return it->needs_stat ? stat_gone(s) : false;
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
        const std::size_t size = std::strlen(entry->d_name);
        if (size > UINT8_MAX || dir.area.size() > UINT32_MAX - size) {
            errno = ENAMETOOLONG;  // no file system names one so; the folder is asked about by stat
            break;
        }
        dir.names.push_back(
            entry_t{static_cast<std::uint32_t>(dir.area.size()), static_cast<std::uint8_t>(size), needs_stat});
        dir.area.append(entry->d_name, size);
    }
    if (errno != 0) {
        dir.state = directory_t::unlistable;
        dir.names = {}, dir.area = {};
    }
    ::closedir(d);
    std::sort(dir.names.begin(), dir.names.end(),
              [&dir](const entry_t& a, const entry_t& b) { return dir.name(a) < dir.name(b); });
}

}  // namespace upd
