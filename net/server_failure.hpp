// A failure that belongs to the server asked (not to this machine): the next mirror may do better.
#pragma once

#include "framework/cf_proto_exception.hpp"

#include <boost/asio/error.hpp>

#include <string>

namespace upd {

// Carries the designed code and text, and the cause in fixed words for the Warning that gives
// the server up ("connection refused", "status 503", "cut after 12 of 90 bytes"): never a text
// the server chose.
class server_failure_t : public cf_proto_exception_t {
public:
    server_failure_t(tvk::ErrorCode code, const std::string& text, std::string cause)
        : cf_proto_exception_t(code, text), cause_(std::move(cause)) {}

    const std::string& cause() const noexcept { return cause_; }
    // Whether the transfer had begun: what arrived is kept, to be continued.
    bool progressed() const noexcept { return progressed_; }
    void set_progressed() noexcept { progressed_ = true; }

private:
    std::string cause_;
    bool progressed_ = false;
};

// An HTTP status other than success; `retry_after` is the wait a 429 or 503 asked for, in seconds
// (negative: none).
class http_status_error_t : public server_failure_t {
public:
    http_status_error_t(tvk::ErrorCode code, const std::string& text, int status, long long retry_after)
        : server_failure_t(code, text, "status " + std::to_string(status)),
          status_(status),
          retry_after_(retry_after) {}

    int status() const noexcept { return status_; }
    long long retry_after() const noexcept { return retry_after_; }

private:
    int status_;
    long long retry_after_;
};

// The words of a failed network step for a cause: the system's own text, never the server's.
inline std::string cause_of(const boost::system::error_code& ec) {
    std::string text = ec == boost::asio::error::eof ? "connection closed" : ec.message();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

}  // namespace upd
