// The signed list of a zone's files: layout, signature, body lines and name queries.
#include "files/lst_file.hpp"

#include "files/signature.hpp"
#include "framework/cf_log.hpp"
#include "framework/cf_proto_exception.hpp"
#include "framework/digest.hpp"
#include "framework/limits.hpp"
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
    for (const auto& f : files)
        if (!f.second.packed && !is_timestamp(f.first)) text += std::string("-") + plain_pattern + "," + f.first + "\n";
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
    records_.clear();
    names_ = string_area_t(static_cast<std::uint32_t>(max_in_memory));
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
    read_file_lines(layout[1].first, layout[1].second);
    if (records_.empty() && patterns_.empty() && expiry_.empty() && zone_.empty()) fail("Empty LST-file");
}

void lst_file_t::read_file_lines(const char* p, const char* body_end) {
    // Room for what the body's own bytes hold, counted before the records are made: their vector
    // never doubles past the lines there are.
    std::size_t lines = 0, name_bytes = 0;
    for (const char* q = p; q != body_end;) {
        const char* line = q;
        const char* line_end = next_line(q, body_end);
        if (*line != '+') continue;
        ++lines;
        name_bytes += static_cast<std::size_t>(std::find(line, line_end, ',') - line);
    }
    records_.reserve(lines), names_.reserve(name_bytes);

    const grammar_t& g = grammar();
    xp::cmatch line_match;
    std::vector<std::string_view> plain;
    while (p != body_end) {
        const char* line = p;
        const char* line_end = next_line(p, body_end);
        if (xp::regex_match(line, line_end, line_match, g.file_line)) {
            // "." and ".." would place a file at the zone directory itself or above it.
            if (line_match[1] == "." || line_match[1] == "..") {
                fail("Invalid LST-file line: \"" + std::string(line, line_end) + '"');
            }
            // The size first: a size that overflows leaves no half-made record behind.
            record_t record;
            record.size = boost::lexical_cast<std::uint32_t>(line_match[3].first, line_match[3].length());
            record.name = names_.add(std::string_view(line_match[1].first, line_match[1].length()));
            record.name_size = static_cast<std::uint32_t>(line_match[1].length());
            read_digest(line_match[2].first, line_match[2].second, record);
            records_.push_back(record);
        } else if (xp::regex_match(line, line_end, line_match, g.pattern_line)) {
            const std::string value(line_match[1].second + 1, line_end);
            if (line_match[1] == plain_pattern) {
                plain.emplace_back(line_match[1].second + 1,
                                   static_cast<std::size_t>(line_end - line_match[1].second - 1));
            } else if (line_match[1] == zone_pattern) {
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
    // Name order; of equal names the later line (the higher offset) last, and only it is kept.
    std::sort(records_.begin(), records_.end(), [this](const record_t& a, const record_t& b) {
        const int r = name_of(a).compare(name_of(b));
        return r < 0 || (r == 0 && a.name < b.name);
    });
    auto kept = records_.begin();
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (std::next(it) != records_.end() && name_of(*std::next(it)) == name_of(*it)) continue;
        *kept++ = *it;
    }
    records_.erase(kept, records_.end());
    // A plain line that names no listed file says nothing.
    for (std::string_view name : plain)
        if (const std::size_t i = find(name); i != npos) records_[i].plain = 1;
    records_.shrink_to_fit(), names_.shrink_to_fit();
}

void lst_file_t::read_digest(const char* hex, const char* hex_end, record_t& record) {
    const auto digits = static_cast<std::size_t>(hex_end - hex);
    if (digits % 2 != 0) return;  // as hex_to_bytes reads it: no digest
    record.digest_size = static_cast<std::uint32_t>(digits / 2);
    if (record.digest_size <= sizeof record.digest) return hex_to_bytes(hex, hex_end, record.digest);
    // A longer one follows the name, which was the area's last addition.
    std::vector<unsigned char> bytes(record.digest_size);
    hex_to_bytes(hex, hex_end, bytes.data());
    names_.add(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string_view lst_file_t::name_of(const record_t& record) const {
    return names_.view(record.name, record.name_size);
}

std::size_t lst_file_t::find(std::string_view name) const {
    const auto it = std::lower_bound(records_.begin(), records_.end(), name,
                                     [this](const record_t& r, std::string_view n) { return name_of(r) < n; });
    return it != records_.end() && name_of(*it) == name ? static_cast<std::size_t>(it - records_.begin()) : npos;
}

std::string_view lst_file_t::digest(std::size_t i) const {
    const record_t& r = records_[i];
    if (r.digest_size <= sizeof r.digest)
        return std::string_view(reinterpret_cast<const char*>(r.digest), r.digest_size);
    return names_.view(r.name + r.name_size, r.digest_size);
}

std::pair<std::string, lst_file_t::entry_t> lst_file_t::entry(std::size_t i) const {
    return {std::string(name(i)), entry_t{std::string(digest(i)), size(i), packed(i)}};
}

std::string lst_file_t::digest_of(std::string_view name) const {
    const std::size_t i = find(name);
    return i == npos ? std::string() : std::string(digest(i));
}

std::uint32_t lst_file_t::size_of(std::string_view name) const {
    const std::size_t i = find(name);
    return i == npos ? 0 : size(i);
}

std::vector<std::string> lst_file_t::names() const {
    std::vector<std::string> result;
    result.reserve(records_.size());
    for (std::size_t i = 0; i < records_.size(); ++i) result.emplace_back(name(i));
    return result;
}

std::vector<std::string> lst_file_t::names_matching(const std::string& pattern) const {
    std::vector<std::string> result;
    std::string name;
    for (std::size_t i = 0; i < records_.size(); ++i) {
        name.assign(this->name(i));
        if (::fnmatch(pattern.c_str(), name.c_str(), FNM_NOESCAPE) == 0) result.push_back(name);
    }
    return result;
}

bool lst_file_t::matches_patterns(const std::string& name) const { return matches_any(patterns_, name, "lst"); }

void lst_file_t::apply_excludes(const std::vector<std::string>& excludes) {
    if (excludes.empty()) return;
    std::string name;
    const auto excluded = [&](const record_t& r) {
        name.assign(name_of(r));
        if (!matches_any(excludes, name, "excludes")) return false;
        LOG_DEBUG("Excluded: " << name);
        return true;
    };
    records_.erase(std::remove_if(records_.begin(), records_.end(), excluded), records_.end());
}

}  // namespace upd
