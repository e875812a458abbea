// The signed list of a zone's update servers: reading, parsing and verification.
#include "files/drl_file.hpp"

#include "framework/cf_proto_exception.hpp"
#include "framework/fd_io.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>

namespace upd {

const std::string drl_file_t::url_line_begin = "url=";
const std::string drl_file_t::sign_line_begin = "sign=";

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string trimmed(const char* begin, const char* end) {
    while (begin != end && is_blank(*begin)) ++begin;
    while (end != begin && is_blank(end[-1])) --end;
    return std::string(begin, end);
}

bool starts_with(const char* begin, const char* end, const std::string& prefix) {
    return static_cast<std::size_t>(end - begin) >= prefix.size() &&
           std::memcmp(begin, prefix.data(), prefix.size()) == 0;
}

}  // namespace

void drl_file_t::load(const boost::filesystem::path& path, origin_t origin, int flags) {
    const std::vector<char> buffer = read_regular_file(path.string(), max_size, flags);
    parse(buffer.data(), buffer.data() + buffer.size(), origin);
}

void drl_file_t::parse(const char* begin, const char* end, origin_t origin, const list_trust_t& trust) {
    urls_.clear();
    std::set<std::string> seen;
    std::string& signature = signature_;
    signature.clear();
    const char* signed_end = begin;

    const char* p = begin;
    while (p != end) {
        const char* line = p;
        while (p != end && *p != '\r' && *p != '\n') ++p;
        const char* line_end = p;
        if (p != end) ++p;  // exactly one terminator byte

        if (line == line_end) {
            // empty line: nothing to do
        } else if (starts_with(line, line_end, url_line_begin)) {
            // Once a signature has been read the lines are outside the signed range: anybody
            // on the way could have added them, so their URLs are not taken.
            const std::string url = trimmed(line + url_line_begin.size(), line_end);
            if (signature.empty() && seen.insert(url).second) urls_.push_back(url);
        } else if (starts_with(line, line_end, sign_line_begin)) {
            signature = trimmed(line + sign_line_begin.size(), line_end);
        } else {
            throw cf_proto_exception_t(tvk::EC_BAD_DRL_FILE, "Invalid DRL-file format");
        }
        // The signed range stops before the first line that produced a signature.
        if (signature.empty()) signed_end = p;
    }

    signed_size_ = static_cast<std::size_t>(signed_end - begin);
    trust.require(origin, begin, signed_size_, signature, tvk::EC_BAD_DRL_FILE, "Invalid DRL-file signature");
}

std::vector<std::string> drl_file_t::shuffled(std::vector<std::string> result) {
    // test hook: begin
    // Tests that meet the servers in a given order list them in that order.
    const char* order = std::getenv("TAVIK_TEST_SERVER_ORDER");
    if (order && std::string(order) == "listed") return result;
    // test hook: end
    for (std::size_t i = 1; i < result.size(); ++i) {
        std::size_t j = static_cast<std::size_t>(std::rand()) % (i + 1);
        std::swap(result[i], result[j]);
    }
    return result;
}

}  // namespace upd
