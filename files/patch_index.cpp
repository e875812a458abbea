// The index of the patches a zone's server offers: which file, from which version, to which.
#include "files/patch_index.hpp"

#include "files/lst_file.hpp"
#include "files/mirror_tree.hpp"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace upd {

namespace {

bool digest_hex(const std::string& s) {
    return s.size() == 64 &&
           std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

void patch_index_t::parse(const char* begin, const char* end, const lst_file_t& list) {
    patches_.clear();
    std::istringstream lines(
        std::string(begin, static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - begin, max_size))));
    auto last = patches_.end();  // the patch that a length line may follow
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, old_hex, new_hex, more;
        if (line.compare(0, 2, "= ") == 0) {
            // 19 digits at most, which 64 bits always hold: no file of the list has a patch that long.
            if (last != patches_.end() && line.size() > 2 && line.size() <= 21 &&
                line.find_first_not_of("0123456789", 2) == std::string::npos) {
                const std::uint64_t length = std::stoull(line.substr(2));
                if (length <= max_patch_size(list.size_of(std::get<0>(last->first)))) last->second = length;
            }
            last = patches_.end();
        } else if (fields >> name >> old_hex >> new_hex && !(fields >> more) && list.contains(name) &&
                   digest_hex(old_hex) && digest_hex(new_hex)) {
            last = patches_.emplace(std::make_tuple(name, old_hex, new_hex), 0).first;
        } else {
            last = patches_.end();
        }
    }
}

bool patch_index_t::offers(const std::string& name, const std::string& old_hex, const std::string& new_hex) const {
    return patches_.count(std::make_tuple(name, old_hex, new_hex)) != 0;
}

std::uint64_t patch_index_t::size_of(const std::string& name, const std::string& old_hex,
                                     const std::string& new_hex) const {
    const auto it = patches_.find(std::make_tuple(name, old_hex, new_hex));
    return it == patches_.end() ? 0 : it->second;
}

std::string patch_index_t::patch_path(const std::string& old_hex, const std::string& new_hex) {
    return std::string(mirror_tree::patches) + "/" + old_hex + "-" + new_hex + mirror_tree::patch_suffix;
}

bool patch_index_t::is_patch_path(const std::string& path) {
    const std::size_t digests = std::strlen(mirror_tree::patches) + 1, suffix = digests + 64 + 1 + 64;
    return path.size() == suffix + std::strlen(mirror_tree::patch_suffix) && path[digests + 64] == '-' &&
           digest_hex(path.substr(digests, 64)) && digest_hex(path.substr(digests + 65, 64)) &&
           path == patch_path(path.substr(digests, 64), path.substr(digests + 65, 64));
}

std::string patch_index_t::line(const std::string& name, const std::string& old_hex, const std::string& new_hex,
                                std::uint64_t size) {
    return name + " " + old_hex + " " + new_hex + "\n" + (size ? "= " + std::to_string(size) + "\n" : std::string());
}

}  // namespace upd
