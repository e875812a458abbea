// The signed INI file of a zone that names its fallback update servers.
#pragma once

#include "files/list_trust.hpp"

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace upd {
namespace ini {

// Larger files are refused before a byte of them is read.
constexpr std::size_t max_size = 10485760;

// A syntax or signature error, with the position of the offending line's first non-blank
// character: byte offset (from 0), line and column (from 1) within the part being parsed.
class parse_error_t : public std::runtime_error {
public:
    parse_error_t(const std::string& text, unsigned offset, unsigned line, unsigned column)
        : std::runtime_error(text), offset_(offset), line_(line), column_(column) {}

    unsigned offset() const noexcept { return offset_; }
    unsigned line() const noexcept { return line_; }
    unsigned column() const noexcept { return column_; }

private:
    unsigned offset_;
    unsigned line_;
    unsigned column_;
};

// Reads, verifies (as a file from `origin`) and parses the file; returns the "url" values of the
// "fallback" sections.
std::vector<std::string> get_file(const boost::filesystem::path& path, origin_t origin);
// The parser behind get_file.
std::vector<std::string> parse(const char* begin, const char* end, origin_t origin);
// The signature text of the signature part, and the length of the covered bytes before it; a
// syntax error there throws parse_error_t.
std::string signature(const char* begin, const char* end, std::size_t& covered);

}  // namespace ini
}  // namespace upd
