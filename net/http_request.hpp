// Head of an HTTP request and its serialised form.
#pragma once

#include "net/http_headers.hpp"

#include <string>

namespace upd {

struct http_request_t {
    std::string target;
    std::string method;
    unsigned version_major = 1, version_minor = 1;
    http_headers_t headers;

    // The bytes of the head, blank line included. CR and LF inside any field are written as
    // spaces so that no field can end the line it stands on.
    std::string to_string() const;
};

}  // namespace upd
