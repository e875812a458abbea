// The checks of what make-zone writes into the signed files: file names, name patterns and URLs.
#include "tools/tavik-sign/zone_checks.hpp"

#include "tools/tavik-sign/command.hpp"

#include "files/lst_file.hpp"
#include "net/url.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sign {

namespace {

bool name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_'; }

}  // namespace

std::string check_file_name(const std::string& name) {
    if (name.empty()) return "empty file name";
    return std::all_of(name.begin(), name.end(), name_char)
               ? ""
               : "the file name may hold only letters, digits, '-', '.' and '_'";
}

std::string check_pattern(const std::string& pattern) {
    if (pattern.empty()) return "empty pattern";
    const bool plain =
        std::all_of(pattern.begin(), pattern.end(), [](char c) { return name_char(c) || c == '?' || c == '*'; });
    if (!plain) return "the pattern " + quoted(pattern) + " may hold only letters, digits, '?', '*', '-', '.' and '_'";
    // The list's own lines look like patterns; one given as a pattern would be taken for one of them.
    if (pattern.compare(0, std::strlen(upd::lst_file_t::reserved_prefix), upd::lst_file_t::reserved_prefix) == 0)
        return "the pattern " + quoted(pattern) + " begins with " + upd::lst_file_t::reserved_prefix +
               ", which file lists keep for their own lines";
    return "";
}

std::string check_url(const std::string& url, bool in_ini) {
    if (url.empty()) return "empty URL";
    const std::string the_url = "the URL " + quoted(url);
    for (char c : url) {
        // The readers trim blanks and end lines at CR or LF; the INI reader also cuts comments.
        if (std::string(" \t\r\n\f\v").find(c) != std::string::npos) return the_url + " holds a blank or a line end";
        if (in_ini && (c == '#' || c == ';')) return the_url + " holds '#' or ';', which zone.ini takes for a comment";
    }
    // The updater splits URLs plainly and never fails: what it cannot take, it takes for
    // something else, so each URL must read back as it was given.
    const upd::url_t parsed(url);
    std::string scheme = parsed.scheme();
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t host_at = url.find("://") + 3;
    if (host_at == 2 || (scheme != "http" && scheme != "https"))
        return the_url + " does not begin with http:// or https://";
    if (parsed.host().empty()) return the_url + " names no host";
    const std::string authority = url.substr(host_at, url.find('/', host_at) - host_at);
    if (authority.find('@') != std::string::npos)
        return the_url + " holds a user name, which the updater would take for the host";
    const std::size_t colon = authority.find(':');
    const std::string port = colon == std::string::npos ? "1" : authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) == 0 || std::stoul(port) > 65535) {
        return "the port of " + the_url + " is not a number from 1 to 65535";
    }
    for (char c : parsed.host())
        if (!name_char(c)) return "the host of " + the_url + " may hold only letters, digits, '-', '.' and '_'";
    const std::string back = parsed.to_string();  // a base URL's last '/' is added when joining
    if (back != url && back + "/" != url) return the_url + " would be read as " + quoted(back);
    return "";
}

}  // namespace sign
