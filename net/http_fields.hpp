// The fields of response heads that the client acts on: the body's length, a range, a retry time.
#pragma once

#include "net/http_headers.hpp"
#include "net/http_response.hpp"

#include <boost/optional.hpp>

#include <cstdint>
#include <ctime>
#include <string>

namespace upd {

// The value of the first header of that name in any letter case (field names are not case
// sensitive); empty when absent. http_headers_t::find stays exact for the proxy's challenge.
const std::string& header_value(const http_headers_t& headers, const std::string& name);

// The length a head announces: decimal digits, every Content-Length header the same. None when
// there is none, or when they are unreadable or disagree: the body then ends at the close.
boost::optional<std::uint64_t> content_length(const http_headers_t& headers);

// Whether the server keeps the connection after this answer: HTTP/1.1 unless it says
// "Connection: close", HTTP/1.0 only when it says "Connection: keep-alive".
bool keeps_connection(const http_response_t& response);

struct content_range_t {
    std::uint64_t first = 0, last = 0;
    boost::optional<std::uint64_t> total;  // none for "*"
};
// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*"), FIRST <= LAST < TOTAL; none otherwise.
boost::optional<content_range_t> content_range(const std::string& value);

// Seconds from `now` to what a Retry-After value names, delta-seconds or an HTTP date (the
// fixed form, the obsolete RFC 850 form or asctime's), at least 0 and at most `cap`; none when
// unreadable.
boost::optional<long long> retry_after(const std::string& value, std::time_t now, long long cap);

}  // namespace upd
