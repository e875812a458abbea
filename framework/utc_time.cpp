// Times as the update files and messages write them: UTC, to the second, whatever the machine's zone.
#include "framework/utc_time.hpp"

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace upd {

namespace {

std::tm broken_down(long long seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

std::string formatted(long long seconds, const char* format) {
    const std::tm tm = broken_down(seconds);
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &tm));
}

}  // namespace

long long utc_seconds(long long y, unsigned m, unsigned d, unsigned hour, unsigned minute, unsigned second) {
    y -= m <= 2;  // days from 1970-01-01 counted in eras of 400 years, March first
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return (era * 146097 + static_cast<long long>(doe) - 719468) * 86400 + hour * 3600 + minute * 60 + second;
}

std::string utc_digits(long long seconds) { return formatted(seconds, "%Y%m%d%H%M%S"); }

bool from_utc_digits(const std::string& digits, long long& seconds) {
    if (digits.size() != 14 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const auto part = [&](std::size_t at, std::size_t n) {
        return static_cast<unsigned>(std::stoul(digits.substr(at, n)));
    };
    const unsigned month = part(4, 2), day = part(6, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || part(8, 2) > 23 || part(10, 2) > 59 || part(12, 2) > 59)
        return false;
    seconds = utc_seconds(part(0, 4), month, day, part(8, 2), part(10, 2), part(12, 2));
    return utc_digits(seconds) == digits;  // 31 April and 29 February 2027 do not come back
}

long long utc_now() {
    long long now = std::time(nullptr);
    // test hook: begin
    // TAVIK_TEST_CLOCK_SHIFT=SECONDS: the clock of a machine that is ahead (behind when negative).
    if (const char* shift = std::getenv("TAVIK_TEST_CLOCK_SHIFT")) now += std::atoll(shift);
    // test hook: end
    return now;
}

std::string utc_minute(long long seconds) { return formatted(seconds, "%Y-%m-%d %H:%M UTC"); }

}  // namespace upd
