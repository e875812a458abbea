// Reader of the key text files: lines "name = <big-endian hex>", blank and '#' lines ignored.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace keyfile {

// Named hexadecimal values of one key file, digits as written (no "0x", either case).
using values_t = std::map<std::string, std::string>;

// Parses the text of a key file. Every name of `required` must occur exactly once; any other
// name, a malformed line or a value that is not hexadecimal is an error naming file and line.
inline values_t parse(const std::string& text, const std::vector<std::string>& required, const std::string& origin) {
    values_t out;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto fail = [&](const std::string& why) {
        throw std::runtime_error(origin + ":" + std::to_string(number) + ": " + why);
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t i = 0;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i == line.size() || line[i] == '#') continue;
        std::size_t name_end = i;
        while (name_end < line.size() && std::isalnum(static_cast<unsigned char>(line[name_end]))) ++name_end;
        const std::string name = line.substr(i, name_end - i);
        std::size_t j = name_end;
        while (j < line.size() && (line[j] == ' ' || line[j] == '\t')) ++j;
        if (name.empty() || j == line.size() || line[j] != '=') fail("expected a line \"name = <hex>\"");
        ++j;
        while (j < line.size() && (line[j] == ' ' || line[j] == '\t')) ++j;
        std::size_t value_end = line.size();
        while (value_end > j && (line[value_end - 1] == ' ' || line[value_end - 1] == '\t')) --value_end;
        const std::string value = line.substr(j, value_end - j);
        if (value.empty()) fail("no value for " + name);
        for (char c : value)
            if (!std::isxdigit(static_cast<unsigned char>(c))) fail("value of " + name + " is not hexadecimal");
        bool known = false;
        for (const auto& r : required) known = known || r == name;
        if (!known) fail("unexpected value \"" + name + "\"");
        if (!out.emplace(name, value).second) fail(name + " given twice");
    }
    for (const auto& r : required)
        if (!out.count(r)) throw std::runtime_error(origin + ": no value for " + r);
    return out;
}

// The key's fingerprint: the first 16 hex digits of the SHA-256 of "p=<hex>\nq=<hex>\ng=<hex>\ny=<hex>\n"
// (lower case, no leading zeros), so that the same key gives the same fingerprint whatever its
// file's layout.
inline std::string fingerprint(const values_t& values) {
    std::string text;
    for (const char* name : {"p", "q", "g", "y"}) {
        std::string digits = values.at(name);
        for (char& c : digits) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
        text += std::string(name) + "=" + digits + "\n";
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 8; ++i) out += hex[digest[i] >> 4], out += hex[digest[i] & 15];
    return out;
}

// Reads and parses a key file.
inline values_t load(const std::string& path, const std::vector<std::string>& required) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error(path + ": cannot be read");
    std::ostringstream text;
    text << f.rdbuf();
    return parse(text.str(), required, path);
}

}  // namespace keyfile
