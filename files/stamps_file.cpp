// The stamp of the file list each zone was last installed from: parse, load, atomic save.
#include "files/stamps_file.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_io.hpp"

#include <algorithm>
#include <fcntl.h>
#include <stdexcept>
#include <vector>

namespace upd {

namespace {

bool all_of_class(const std::string& s, bool (*accepts)(char)) { return !s.empty() && std::all_of(s.begin(), s.end(), accepts); }
bool zone_char(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

stamps_file_t::stamps_t stamps_file_t::parse(const char* begin, const char* end) {
    stamps_t stamps;
    int number = 0;
    for (const char* p = begin; p != end;) {
        const char* line_end = std::find(p, end, '\n');
        const std::string line(p, line_end);
        p = line_end == end ? end : line_end + 1;
        ++number;
        if (line.empty()) continue;
        const std::size_t space = line.find(' ');
        const std::string zone = line.substr(0, space), stamp = space == std::string::npos ? "" : line.substr(space + 1);
        if (!all_of_class(zone, zone_char) || !all_of_class(stamp, digit) || !stamps.emplace(zone, stamp).second)
            throw std::runtime_error("line " + std::to_string(number) + " is not \"ZONE STAMP\" of a zone not named before");
    }
    return stamps;
}

std::string stamps_file_t::format(const stamps_t& stamps) {
    std::string text;
    for (const auto& s : stamps) text += s.first + ' ' + s.second + '\n';
    return text;
}

stamps_file_t::stamps_t stamps_file_t::load(const boost::filesystem::path& path) {
    try {
        const std::vector<char> text = read_regular_file(path.string(), max_size, O_NOFOLLOW);
        return parse(text.data(), text.data() + text.size());
    } catch (const std::exception& e) {
        if (error_code_of(e) == boost::system::errc::no_such_file_or_directory) return stamps_t();
        LOG_WARNING("Stamps " << path << ": " << exception_text(e) << "; no file list is refused as older in this run");
        return stamps_t();
    }
}

void stamps_file_t::save(const boost::filesystem::path& path, const stamps_t& stamps) {
    const std::string text = format(stamps);
    replace_file(path.string(), [&text](int fd) { write_all(fd, text.data(), text.size()); });
}

}  // namespace upd
