// The signed list of a zone's files: layout, signature, body lines and name queries.
#include "files/lst_file.hpp"

#include "files/signature.hpp"
#include "framework/cf_log.hpp"
#include "framework/cf_proto_exception.hpp"
#include "framework/digest.hpp"
#include "framework/utc_time.hpp"

#include <boost/lexical_cast.hpp>
#include <boost/xpressive/xpressive_static.hpp>

#include <algorithm>

#include <fnmatch.h>

namespace upd {

namespace {

namespace xp = boost::xpressive;

// The regular expressions are built once per process (thread-safe static initialisation).
// The character classes are copied into each expression rather than embedded as regexes of
// their own: a quantified embedded regex recurses once per repetition, and the unsigned
// whitespace after the signature could then exhaust the stack.
struct grammar_t {
    xp::cregex layout;        // s1: body, s2: trailer and its line end, s3: signature, s4: stamp
    xp::cregex file_line;     // s1: name, s2: digest, s3: size
    xp::cregex pattern_line;  // s1: pattern; whatever follows the comma is not used

    grammar_t() {
        using boost::proto::deep_copy;
        using xp::range;
        // Explicit ranges keep the classes those of the C locale whatever the global locale is.
        const auto digit = deep_copy(range('0', '9'));
        const auto xdigit = deep_copy(xp::set[range('0', '9') | range('a', 'f') | range('A', 'F')]);
        const auto name_char =
            deep_copy(xp::set[range('a', 'z') | range('A', 'Z') | range('0', '9') | '-' | '.' | '_']);
        const auto pattern_char =
            deep_copy(xp::set[range('a', 'z') | range('A', 'Z') | range('0', '9') | '?' | '*' | '-' | '.' | '_']);
        // CR LF is one line end: a CR alone may not end a line when an LF follows it, or a
        // CR LF file would pass for one with an extra empty line.
        const auto eol = deep_copy(xp::as_xpr("\r\n") | '\n' | ('\r' >> ~xp::before('\n')) | '\f');
        const auto space = deep_copy((xp::set = ' ', '\t', '\n', '\v', '\f', '\r'));

        layout = xp::bos >> lst_file_t::header >> eol >> '[' >> (xp::s4 = +digit) >> ']' >> eol >> (xp::s1 = +xp::_) >>
                 (xp::s2 = lst_file_t::trailer >> eol) >> eol >> lst_file_t::signature_header >> eol >>
                 lst_file_t::signature_begin >> (xp::s3 = +xdigit) >> *space >> xp::eos;
        file_line = '+' >> !('<' >> +digit >> '>') >> (xp::s1 = +name_char) >> ", " >> (xp::s2 = +xdigit) >> ", " >>
                    (xp::s3 = +digit);
        pattern_line = '-' >> (xp::s1 = +pattern_char) >> ',' >> *xp::_;
    }
};

const grammar_t& grammar() {
    static const grammar_t g;
    return g;
}

[[noreturn]] void fail(const std::string& text) { throw cf_proto_exception_t(tvk::EC_BAD_LST_FILE, text); }

// The next line of [p, end): ends at CR LF, LF, CR or FF; p moves past the line end.
const char* next_line(const char*& p, const char* end) {
    while (p != end && *p != '\r' && *p != '\n' && *p != '\f') ++p;
    const char* line_end = p;
    if (p != end) {
        if (*p == '\r' && p + 1 != end && p[1] == '\n') ++p;
        ++p;
    }
    return line_end;
}

bool accepts(const std::string& pattern, const std::string& name, const char* where) {
    int rc = ::fnmatch(pattern.c_str(), name.c_str(), FNM_NOESCAPE);
    if (rc == 0) return true;
    if (rc != FNM_NOMATCH && where) {
        LOG_DEBUG("fnmatch: Invalid pattern in " << where << ": \"" << pattern << '"');
    }
    return false;
}

}  // namespace

bool matches_any(const std::vector<std::string>& patterns, const std::string& name, const char* where) {
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) { return accepts(p, name, where); });
}

std::string lst_file_t::unsigned_text(const std::string& stamp, const files_t& files,
                                      const std::vector<std::string>& patterns, const std::string& expiry,
                                      const std::string& zone) {
    std::string text = std::string(header) + "\n[" + stamp + "]\n";
    for (const auto& f : files)
        text += "+" + f.first + ", " + to_hex(f.second.digest) + ", " + std::to_string(f.second.size) + "\n";
    for (const std::string& p : patterns) text += "-" + p + ",\n";
    if (!zone.empty()) text += std::string("-") + zone_pattern + "," + zone + "\n";
    if (!expiry.empty()) text += std::string("-") + expiry_pattern + "," + expiry + "\n";
    return text + trailer + "\n";
}

bool lst_file_t::split_signed(const std::string& text, std::string& covered, std::string& signature) {
    xp::cmatch layout;
    if (!xp::regex_match(text.data(), text.data() + text.size(), layout, grammar().layout)) return false;
    covered.assign(text.data(), layout[2].second);
    signature = layout[3].str();
    return true;
}

void lst_file_t::parse(const char* begin, const char* end, origin_t origin, const list_trust_t& trust) {
    files_.clear();
    patterns_.clear();
    stamp_.clear(), expiry_.clear(), zone_.clear();
    const grammar_t& g = grammar();

    xp::cmatch layout;
    if (!xp::regex_match(begin, end, layout, g.layout)) fail("Invalid LST-file structure");

    const char* signed_end = layout[2].second;
    signers_ = trust
                   .require(origin, begin, static_cast<std::size_t>(signed_end - begin), layout[3].str(),
                            tvk::EC_BAD_LST_FILE, "Invalid LST-file signature")
                   .signers;
    if (!list_trust_t::valid_stamp(layout[4].str())) fail("Invalid LST-file stamp");
    stamp_ = layout[4].str();

    xp::cmatch line_match;
    const char* p = layout[1].first;
    const char* body_end = layout[1].second;
    while (p != body_end) {
        const char* line = p;
        const char* line_end = next_line(p, body_end);
        if (xp::regex_match(line, line_end, line_match, g.file_line)) {
            // "." and ".." would place a file at the zone directory itself or above it.
            if (line_match[1] == "." || line_match[1] == "..") {
                fail("Invalid LST-file line: \"" + std::string(line, line_end) + '"');
            }
            // The size first: a size that overflows leaves no half-made entry behind.
            const auto size = boost::lexical_cast<std::uint32_t>(line_match[3].first, line_match[3].length());
            const std::vector<unsigned char> digest = hex_to_bytes(line_match[2].str());
            entry_t& entry = files_[line_match[1].str()];
            entry.digest.assign(digest.begin(), digest.end());
            entry.size = size;
        } else if (xp::regex_match(line, line_end, line_match, g.pattern_line)) {
            const std::string value(line_match[1].second + 1, line_end);
            if (line_match[1] == zone_pattern) {
                if (!zone_.empty() || !list_trust_t::valid_zone(value)) fail("Invalid LST-file zone");
                zone_ = value;
            } else if (line_match[1] != expiry_pattern) {
                patterns_.push_back(line_match[1].str());
            } else if (!expiry_.empty() || !from_utc_digits(value, expires_at_)) {
                fail("Invalid LST-file expiry");  // a second one, or no real date
            } else {
                expiry_ = value;
            }
        } else {
            fail("Invalid LST-file line: \"" + std::string(line, line_end) + '"');
        }
    }

    if (files_.empty() && patterns_.empty() && expiry_.empty() && zone_.empty()) fail("Empty LST-file");
}

bool lst_file_t::contains(const std::string& name) const { return files_.count(name) != 0; }

std::string lst_file_t::digest_of(const std::string& name) const {
    auto it = files_.find(name);
    return it == files_.end() ? std::string() : it->second.digest;
}

std::uint32_t lst_file_t::size_of(const std::string& name) const {
    auto it = files_.find(name);
    return it == files_.end() ? 0 : it->second.size;
}

std::vector<std::string> lst_file_t::names() const {
    std::vector<std::string> result;
    result.reserve(files_.size());
    for (const auto& f : files_) result.push_back(f.first);
    return result;
}

std::vector<std::string> lst_file_t::names_matching(const std::string& pattern) const {
    std::vector<std::string> result;
    for (const auto& f : files_) {
        if (::fnmatch(pattern.c_str(), f.first.c_str(), FNM_NOESCAPE) == 0) result.push_back(f.first);
    }
    return result;
}

bool lst_file_t::matches_patterns(const std::string& name) const { return matches_any(patterns_, name, "lst"); }

void lst_file_t::apply_excludes(const std::vector<std::string>& excludes) {
    std::vector<std::string> marked;
    for (const auto& f : files_)
        if (matches_any(excludes, f.first, "excludes")) marked.push_back(f.first);
    for (const auto& name : marked) {
        LOG_DEBUG("Excluded: " << name);
        files_.erase(name);
    }
}

}  // namespace upd
