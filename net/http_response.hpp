// Parsed head of an HTTP response: status line and header lines.
#pragma once

#include "net/http_headers.hpp"

#include <string>

namespace upd {

class http_response_t {
public:
    int status() const { return status_; }
    const std::string& reason() const { return reason_; }
    unsigned version_major() const { return version_major_; }
    unsigned version_minor() const { return version_minor_; }
    const http_headers_t& headers() const { return headers_; }

    // Filled by the response parser (and by tests that need a ready-made head).
    void set_status(int status) { status_ = status; }
    void set_reason(const std::string& reason) { reason_ = reason; }
    void set_version(unsigned major, unsigned minor) {
        version_major_ = major;
        version_minor_ = minor;
    }
    http_headers_t& mutable_headers() { return headers_; }

private:
    int status_ = 0;
    std::string reason_;
    unsigned version_major_ = 1;
    unsigned version_minor_ = 1;
    http_headers_t headers_;
};

}  // namespace upd
