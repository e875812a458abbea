// The record of what make-zone published in its output folder, and the removal of what it no longer publishes.
#include "tools/tavik-sign/published.hpp"

#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/zone_checks.hpp"

#include <boost/filesystem/path.hpp>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

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

published_t::published_t(std::string out) : out_(std::move(out)) {
    const std::string path = (fs::path(out_) / record_name).string();
    std::string text;
    try {
        text = read_input(path);
    } catch (const input_error_t& e) {
        if (e.error_number != ENOENT) throw;  // the first run
    }
    for (std::size_t begin = 0, end; begin < text.size(); begin = end + 1) {
        end = std::min(text.find('\n', begin), text.size());
        const std::string name = text.substr(begin, end - begin);
        if (!name.empty() && name[0] != '#' && recordable(name)) last_.insert(name);
    }
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
    std::set<fs::path> folders;
    for (const std::string& name : last_) {
        const std::string path = (fs::path(out_) / name).string();
        if (names_.count(name)) continue;
        for (fs::path f = fs::path(name).parent_path(); !f.empty(); f = f.parent_path()) folders.insert(f);
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) continue;
        std::fprintf(stderr, "tavik-sign make-zone: warning: cannot remove %s: %s\n", quoted(path).c_str(),
                     std::strerror(errno));
        kept.insert(name);
    }
    // The folders that held what went, once empty, the deepest first; one that holds anything stays.
    for (auto f = folders.rbegin(); f != folders.rend(); ++f) ::rmdir((fs::path(out_) / *f).c_str());
    save(kept);
}

}  // namespace sign
