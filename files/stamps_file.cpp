// The stamp of the file list each zone was last installed from: parse, load, atomic save.
#include "files/stamps_file.hpp"

#include "files/record_file.hpp"

#include <algorithm>

namespace upd {

namespace {

bool all_of_class(const std::string& s, bool (*accepts)(char)) {
    return !s.empty() && std::all_of(s.begin(), s.end(), accepts);
}
bool zone_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
bool digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

stamps_file_t::stamps_t stamps_file_t::parse(const char* begin, const char* end) {
    stamps_t stamps;
    parse_records(begin, end, "\"ZONE STAMP\" of a zone not named before",
                  [&stamps](const std::string& zone, const std::string& stamp) {
                      return all_of_class(zone, zone_char) && all_of_class(stamp, digit) &&
                             stamps.emplace(zone, stamp).second;
                  });
    return stamps;
}

std::string stamps_file_t::format(const stamps_t& stamps) {
    std::string text;
    for (const auto& s : stamps) text += s.first + ' ' + s.second + '\n';
    return text;
}

stamps_file_t::stamps_t stamps_file_t::load(const boost::filesystem::path& path) {
    stamps_t stamps;
    load_record_file(path, max_size, "Stamps", "no file list is refused as older in this run",
                     [&stamps](const char* begin, const char* end) { stamps = parse(begin, end); });
    return stamps;
}

void stamps_file_t::save(const boost::filesystem::path& path, const stamps_t& stamps) {
    save_record_file(path, format(stamps));
}

}  // namespace upd
