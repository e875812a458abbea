// Reading, verification and parsing of the signed zone INI files.
#include "files/ini.hpp"

#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem/operations.hpp>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace upd {
namespace ini {

namespace {

boost::system::error_code errno_code(int value) {
    return boost::system::error_code(value, boost::system::system_category());
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void trim(const char*& begin, const char*& end) {
    while (begin != end && is_blank(*begin)) ++begin;
    while (end != begin && is_blank(end[-1])) --end;
}

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool iequals(const std::string& text, const char* word) { return boost::algorithm::iequals(text, word); }

// One entry of a part: the current section, the key and the value.
struct entry_t {
    const std::string& section;
    std::string key;
    std::string value;
};

// Walks the lines of [begin, end) and calls on_entry for every key = value line.
template <typename on_entry_t>
void parse_part(const char* begin, const char* end, on_entry_t on_entry) {
    std::string section;
    unsigned line_number = 0;
    const char* p = begin;
    while (p != end) {
        ++line_number;
        const char* line = p;
        const char* line_end = static_cast<const char*>(std::memchr(p, '\n', end - p));
        if (line_end) {
            p = line_end + 1;
        } else {
            line_end = end;
            p = end;
        }

        const char* text = line;
        const char* text_end = line;
        while (text_end != line_end && *text_end != '#' && *text_end != ';') ++text_end;
        trim(text, text_end);
        if (text == text_end) continue;

        auto error = [&](const char* message) {
            return parse_error_t(message, static_cast<unsigned>(text - begin), line_number,
                                 static_cast<unsigned>(text - line) + 1);
        };

        if (*text == '[') {
            const char* name = text + 1;
            const char* name_end = name;
            while (name_end != text_end && *name_end != ']') ++name_end;
            const bool closed = text_end[-1] == ']';
            trim(name, name_end);
            if (name == name_end || !closed) throw error("Invalid section name");
            section.assign(name, name_end);
            continue;
        }

        const char* eq = static_cast<const char*>(std::memchr(text, '=', text_end - text));
        if (!eq) throw error("Syntax error");
        const char* key = text;
        const char* key_end = eq;
        const char* value = eq + 1;
        const char* value_end = text_end;
        trim(key, key_end);
        trim(value, value_end);
        if (key == key_end) throw error("Empty key");
        on_entry(entry_t{section, std::string(key, key_end), std::string(value, value_end)});
    }
}

// The start of the last CR LF "[signature]" (letters in any case), or end when there is none.
const char* find_signature_part(const char* begin, const char* end) {
    static const char marker[] = "\r\n[signature]";
    const std::size_t n = sizeof(marker) - 1;
    if (static_cast<std::size_t>(end - begin) < n) return end;
    for (const char* p = end - n;; --p) {
        std::size_t i = 0;
        while (i < n && upper(p[i]) == upper(marker[i])) ++i;
        if (i == n) return p;
        if (p == begin) return end;
    }
}

}  // namespace

std::vector<std::string> get_file(const boost::filesystem::path& path, origin_t origin) {
    boost::system::error_code ec;
    struct stat st;
    const int fd = open_regular(path.c_str(), ec, &st);
    if (fd < 0) throw boost::filesystem::filesystem_error("open", path, ec);
    fd_guard_t guard(fd);
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max_size) {
        throw boost::filesystem::filesystem_error("ini::get_file", path, errno_code(EFBIG));
    }

    std::vector<char> buffer(static_cast<std::size_t>(st.st_size));
    read_exact(fd, buffer.data(), buffer.size());
    return parse(buffer.data(), buffer.data() + buffer.size(), origin);
}

std::string signature(const char* begin, const char* end, std::size_t& covered) {
    const char* signature_part = find_signature_part(begin, end);
    std::string text;
    parse_part(signature_part, end, [&](const entry_t& e) {
        if (iequals(e.section, "signature") && iequals(e.key, "signature")) text = e.value;
    });
    covered = static_cast<std::size_t>(signature_part - begin);
    return text;
}

std::vector<std::string> parse(const char* begin, const char* end, origin_t origin) {
    std::size_t covered = 0;
    const std::string text = signature(begin, end, covered);
    if (text.empty() || !list_trust_t::built_in().signature(origin, begin, covered, text)) {
        throw parse_error_t("Invalid signature", 0, 1, 1);
    }

    std::vector<std::string> urls;
    parse_part(begin, begin + covered, [&](const entry_t& e) {
        if (iequals(e.section, "fallback") && iequals(e.key, "url")) urls.push_back(e.value);
    });
    return urls;
}

}  // namespace ini
}  // namespace upd
