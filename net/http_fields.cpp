// The fields of response heads that the client acts on: the body's length, a range, a retry time.
#include "net/http_fields.hpp"

#include "framework/utc_time.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <algorithm>
#include <vector>

namespace upd {

namespace {

bool digits(const std::string& text) {
    return !text.empty() && text.size() <= 18 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::uint64_t number(const std::string& text) { return std::stoull(text); }

// The three date forms of HTTP, read by their parts whatever separates them: a month name, the
// time with colons, the day and the year.
boost::optional<long long> http_date(const std::string& text) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::vector<std::string> parts;
    std::string part;
    for (char c : text + " ") {
        if (c == ' ' || c == ',' || c == '-') {
            if (!part.empty()) parts.push_back(part), part.clear();
        } else {
            part += c;
        }
    }
    int month = -1, hour = -1, minute = -1, second = -1;
    std::vector<long long> numbers;
    for (const std::string& p : parts) {
        for (int m = 0; m < 12; ++m)
            if (p == months[m]) month = m + 1;
        if (p.size() == 8 && p[2] == ':' && p[5] == ':' && digits(p.substr(0, 2)) && digits(p.substr(3, 2)) &&
            digits(p.substr(6, 2))) {
            hour = std::stoi(p.substr(0, 2)), minute = std::stoi(p.substr(3, 2)), second = std::stoi(p.substr(6, 2));
        } else if (digits(p) && p.size() <= 4) {
            numbers.push_back(std::stoll(p));
        }
    }
    if (month < 0 || hour < 0 || numbers.size() != 2) return boost::none;
    long long day = numbers[0], year = numbers[1];    // the day comes before the year in all three
    if (year < 100) year += year < 70 ? 2000 : 1900;  // "06-Nov-94"
    if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return boost::none;
    return utc_seconds(year, static_cast<unsigned>(month), static_cast<unsigned>(day), static_cast<unsigned>(hour),
                       static_cast<unsigned>(minute), static_cast<unsigned>(second));
}

}  // namespace

const std::string& header_value(const http_headers_t& headers, const std::string& name) {
    static const std::string none;
    for (const auto& h : headers)
        if (boost::algorithm::iequals(h.first, name)) return h.second;
    return none;
}

boost::optional<std::uint64_t> content_length(const http_headers_t& headers) {
    boost::optional<std::uint64_t> length;
    for (const auto& h : headers) {
        if (!boost::algorithm::iequals(h.first, "Content-Length")) continue;
        if (!digits(h.second) || (length && *length != number(h.second))) return boost::none;
        length = number(h.second);
    }
    return length;
}

bool keeps_connection(const http_response_t& response) {
    bool keeps = response.version_major() > 1 || (response.version_major() == 1 && response.version_minor() >= 1);
    for (const auto& h : response.headers()) {
        if (!boost::algorithm::iequals(h.first, "Connection")) continue;
        std::vector<std::string> tokens;
        boost::algorithm::split(tokens, h.second, [](char c) { return c == ','; });
        for (std::string& token : tokens) {
            boost::algorithm::trim(token);
            if (boost::algorithm::iequals(token, "close")) return false;
            if (boost::algorithm::iequals(token, "keep-alive")) keeps = true;
        }
    }
    return keeps;
}

boost::optional<content_range_t> content_range(const std::string& value) {
    const std::size_t dash = value.find('-'), slash = value.find('/');
    if (value.compare(0, 6, "bytes ") != 0 || dash == std::string::npos || slash == std::string::npos || slash < dash)
        return boost::none;
    const std::string first = value.substr(6, dash - 6), last = value.substr(dash + 1, slash - dash - 1),
                      total = value.substr(slash + 1);
    if (!digits(first) || !digits(last) || (total != "*" && !digits(total))) return boost::none;
    content_range_t range;
    range.first = number(first), range.last = number(last);
    if (total != "*") range.total = number(total);
    if (range.first > range.last || (range.total && range.last >= *range.total)) return boost::none;
    return range;
}

boost::optional<long long> retry_after(const std::string& value, std::time_t now, long long cap) {
    long long seconds;
    if (value.find_first_not_of("0123456789") == std::string::npos && !value.empty()) {
        seconds = value.size() > 12 ? cap : std::stoll(value);
    } else if (const auto date = http_date(value)) {
        seconds = *date - static_cast<long long>(now);
    } else {
        return boost::none;
    }
    return std::max(0LL, std::min(seconds, cap));
}

}  // namespace upd
