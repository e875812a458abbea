// Answers an HTTP proxy's 407 challenge with a Basic or Digest Proxy-Authorization value.
#pragma once

#include "net/http_request.hpp"
#include "net/http_response.hpp"

#include <ctime>
#include <string>

namespace upd {

// Value of the Proxy-Authorization header for the request that drew `response` (a 407).
// Throws boost::system::system_error with EC_PROXY_AUTH_ERROR when the challenge is unusable.
std::string make_proxy_authorization(const http_request_t& request, const http_response_t& response,
                                     const std::string& user, const std::string& password);

// The same with the clock reading that the Digest client nonce is derived from.
std::string make_proxy_authorization(const http_request_t& request, const http_response_t& response,
                                     const std::string& user, const std::string& password,
                                     std::time_t now);

// MD5 of the bytes as 32 lower-case hexadecimal digits.
std::string md5_hex(const std::string& text);

// Standard-alphabet Base64 with "=" padding and no line breaks.
std::string base64_encode(const std::string& bytes);

}  // namespace upd
