// The record of what make-zone published in its output folder, and the removal of what it no longer publishes.
#include "tools/tavik-sign/published.hpp"

#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/zone_checks.hpp"

#include <boost/filesystem/path.hpp>

#include "files/lst_file.hpp"
#include "framework/fd_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = boost::filesystem;

namespace sign {

const char published_t::record_name[] = ".published";

namespace {

// A name the record may hold: relative, in plain file names, never leading out of the tree.
bool recordable(const std::string& name) {
    std::size_t begin = 0;
    for (std::size_t end; begin <= name.size(); begin = end + 1) {
        end = std::min(name.find('/', begin), name.size());
        const std::string part = name.substr(begin, end - begin);
        if (!check_file_name(part).empty() || part == "." || part == "..") return false;
    }
    return true;
}

}  // namespace

std::string published_t::last_stamp(const std::string& out) {
    std::ifstream in((fs::path(out) / "version.lst").string(), std::ios::binary);
    std::string header, line;
    if (!std::getline(in, header) || !std::getline(in, line)) return "";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 3 || line.front() != '[' || line.back() != ']') return "";
    line = line.substr(1, line.size() - 2);
    return line.find_first_not_of("0123456789") == std::string::npos ? line : "";
}

published_t::published_t(std::string out, const signing_keys_t& keys) : out_(std::move(out)) {
    dir_.reset(::open(out_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_.get() < 0) throw std::runtime_error("cannot open " + quoted(out_) + ": " + std::strerror(errno));
    std::string text, covered, signature;
    try {
        text = read_input((fs::path(out_) / record_name).string());
    } catch (const input_error_t& e) {
        if (e.error_number != ENOENT) throw;  // the first run
    }
    for (std::size_t begin = 0, end; begin < text.size(); begin = end + 1) {
        end = std::min(text.find('\n', begin), text.size());
        const std::string name = text.substr(begin, end - begin);
        if (!name.empty() && name[0] != '#' && recordable(name)) last_.insert(name);
    }
    // What the signed list names is make-zone's; a list none of the keys signed names nothing.
    if (upd::lst_file_t::split_signed(read_at("version.lst"), covered, signature) && keys.any_verifies(covered, signature)) {
        std::istringstream lines(covered);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() < 2 || line[0] != '+') continue;
            const std::size_t from = line[1] == '<' ? line.find('>') + 1 : 1;  // "+<N>name, digest, size"
            listed_.insert(line.substr(from, line.find(", ") - from));
        }
    }
    drl_ = read_at("update.drl");
}

std::string published_t::read_at(const std::string& name) const {
    fd_guard_t fd(::openat(dir_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 64 << 20) return "";
    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    boost::system::error_code ec;
    read_exact(fd.get(), &bytes[0], bytes.size(), ec);
    return ec ? "" : bytes;
}

bool published_t::publishes(const std::string& name) const {
    static const std::regex patch("patches/[0-9a-f]{64}-[0-9a-f]{64}\\.zst");
    const std::string base = name.size() > 5 && name.compare(name.size() - 5, 5, ".lzma") == 0 ? name.substr(0, name.size() - 5) : name;
    return listed_.count(base) || base == "version.lst" || name == "patches/index" || std::regex_match(name, patch) ||
           (name.find('/') == std::string::npos && !drl_.empty() && read_at(name) == drl_);
}

void published_t::add(const std::string& name) {
    if (!recordable(name)) throw std::invalid_argument("no name of a published file: " + quoted(name));
    names_.insert(name);
}

void published_t::save(const std::set<std::string>& names) const {
    std::string text = "# The files that tavik-sign make-zone published here: its next run removes those it no longer publishes.\n";
    for (const std::string& name : names) text += name + "\n";
    write_output((fs::path(out_) / record_name).string(), text);
}

void published_t::save_pending() const {
    std::set<std::string> names = last_;
    names.insert(names_.begin(), names_.end());
    save(names);
}

void published_t::finish() const {
    std::set<std::string> kept = names_;
    for (const std::string& name : last_) {
        if (names_.count(name)) continue;
        if (!publishes(name)) {
            std::fprintf(stderr, "tavik-sign make-zone: %s names no file make-zone publishes: left alone\n", quoted(name).c_str());
            continue;
        }
        // Relative to the folder opened, and the one folder below it opened without following.
        const std::size_t slash = name.find('/');
        fd_guard_t sub(slash == std::string::npos ? -1 : ::openat(dir_.get(), "patches", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const int at = slash == std::string::npos ? dir_.get() : sub.get();
        if ((at >= 0 && ::unlinkat(at, name.substr(slash + 1).c_str(), 0) == 0) || errno == ENOENT) continue;
        std::fprintf(stderr, "tavik-sign make-zone: warning: cannot remove %s: %s\n", quoted((fs::path(out_) / name).string()).c_str(),
                     std::strerror(errno));
        kept.insert(name);
    }
    ::unlinkat(dir_.get(), "patches", AT_REMOVEDIR);  // once empty; never through a link
    save(kept);
}

}  // namespace sign
