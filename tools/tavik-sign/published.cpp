// The record of what make-zone published, and what of the tree before a run was make-zone's.
#include "tools/tavik-sign/published.hpp"

#include "tools/tavik-sign/command.hpp"

#include <boost/filesystem/path.hpp>

#include "files/lst_file.hpp"
#include "files/signature_text.hpp"
#include "framework/fd_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = boost::filesystem;

namespace sign {

const char published_t::record_name[] = ".published";

std::string published_t::last_stamp(const std::string& out) {
    std::ifstream in((fs::path(out) / "version.lst").string(), std::ios::binary);
    std::string header, line;
    if (!std::getline(in, header) || !std::getline(in, line)) return "";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 3 || line.front() != '[' || line.back() != ']') return "";
    line = line.substr(1, line.size() - 2);
    return line.find_first_not_of("0123456789") == std::string::npos ? line : "";
}

published_t::published_t(const std::string& out, const signing_keys_t& keys) {
    dir_.reset(::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_.get() < 0 && errno != ENOENT)
        throw std::runtime_error("cannot open " + quoted(out) + ": " + std::strerror(errno));
    std::string covered, signature;
    if (upd::lst_file_t::split_signed(read_at("version.lst"), covered, signature)) {
        const bool dsa = keys.dsa_verifies(covered, signature), ed25519 = keys.ed25519_verifies(covered, signature);
        const upd::signature_text_t parsed(signature);
        change_ = {!dsa, !ed25519 && !parsed.parts().empty(), parsed.keyids()};
        // What the signed list names is make-zone's; a list none of the keys signed names nothing.
        if (!dsa && !ed25519) covered.clear();
    }
    if (!covered.empty()) {
        std::istringstream lines(covered);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() < 2 || line[0] != '+') continue;
            const std::size_t from = line[1] == '<' ? line.find('>') + 1 : 1;  // "+<N>name, digest, size"
            listed_.insert(line.substr(from, line.find(", ") - from));
        }
    }
    drl_ = read_at("update.drl");
}

std::string published_t::read_at(const std::string& name, std::size_t max) const {
    try {
        const std::vector<char> bytes = ::read_regular_file(name, max, O_NOFOLLOW, dir_.get());
        return std::string(bytes.begin(), bytes.end());
    } catch (const std::runtime_error&) {
        return "";  // none, or none to trust
    }
}

bool published_t::publishes(const std::string& name) const {
    static const std::regex patch("patches/[0-9a-f]{64}-[0-9a-f]{64}\\.zst");
    const std::string base =
        name.size() > 5 && name.compare(name.size() - 5, 5, ".lzma") == 0 ? name.substr(0, name.size() - 5) : name;
    return listed_.count(base) || base == "version.lst" || name == record_name || name == "patches/index" ||
           std::regex_match(name, patch) ||
           (name.find('/') == std::string::npos && !drl_.empty() && read_at(name, drl_.size()) == drl_);
}

void published_t::save(const std::string& path) const {
    std::string text =
        "# The files that tavik-sign make-zone published in this tree; the rest was carried over from the tree "
        "before.\n";
    for (const std::string& name : names_) text += name + "\n";
    write_output(path, text);
}

}  // namespace sign
