// The index of the patches a zone's server offers: which file, from which version, to which.
#include "files/patch_index.hpp"

#include "files/lst_file.hpp"

#include <algorithm>
#include <sstream>

namespace upd {

const char* const patch_index_t::path = "patches/index";

namespace {

bool digest_hex(const std::string& s) {
    return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

void patch_index_t::parse(const char* begin, const char* end, const lst_file_t& list) {
    patches_.clear();
    std::istringstream lines(std::string(begin, static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - begin, max_size))));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, old_hex, new_hex, more;
        if (fields >> name >> old_hex >> new_hex && !(fields >> more) && list.contains(name) && digest_hex(old_hex) && digest_hex(new_hex))
            patches_.emplace(name, old_hex, new_hex);
    }
}

bool patch_index_t::offers(const std::string& name, const std::string& old_hex, const std::string& new_hex) const {
    return patches_.count(std::make_tuple(name, old_hex, new_hex)) != 0;
}

std::string patch_index_t::patch_path(const std::string& old_hex, const std::string& new_hex) {
    return "patches/" + old_hex + "-" + new_hex + ".zst";
}

std::string patch_index_t::line(const std::string& name, const std::string& old_hex, const std::string& new_hex) {
    return name + " " + old_hex + " " + new_hex + "\n";
}

}  // namespace upd
