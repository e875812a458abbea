// Times as the update files and messages write them: UTC, to the second, whatever the machine's zone.
#pragma once

#include <string>

namespace upd {

// Seconds since 1970 of a date and time of the proleptic Gregorian calendar, UTC.
long long utc_seconds(long long year, unsigned month, unsigned day, unsigned hour = 0, unsigned minute = 0,
                      unsigned second = 0);
// "YYYYMMDDHHMMSS", as list stamps and expiries are written.
std::string utc_digits(long long seconds);
// The time of 14 such digits; false unless they form a real date and time.
bool from_utc_digits(const std::string& digits, long long& seconds);
// The machine's clock, in seconds since 1970.
long long utc_now();
// "2026-12-20 00:00 UTC", as messages name a time.
std::string utc_minute(long long seconds);

}  // namespace upd
