// Answers an HTTP proxy's 407 challenge with a Basic or Digest Proxy-Authorization value.
#pragma once

#include "net/http_request.hpp"
#include "net/http_response.hpp"

#include <cstdint>
#include <string>

namespace upd {

// What answering a proxy's 407 needs: its scheme and, for Digest, the parameters of its nonce.
struct proxy_challenge_t {
    bool digest = false;
    std::string realm, nonce, qop;  // qop: empty or "auth"
    bool stale = false;             // the nonce ran out, not the credentials
};

// Reads the challenge of a 407 (its Proxy-Authenticate header). Throws boost::system::system_error
// with EC_PROXY_AUTH_ERROR when no scheme is usable.
proxy_challenge_t read_proxy_challenge(const http_response_t& response);

// The Proxy-Authorization value for `request`: Basic, or Digest for the request's method and
// target with the nonce count `nc` (each request on a nonce counts one up) and the client nonce.
std::string answer_proxy_challenge(const proxy_challenge_t& challenge, const http_request_t& request,
                                   const std::string& user, const std::string& password, std::uint32_t nc,
                                   const std::string& cnonce);

// A client nonce of 12 bytes from OpenSSL's random generator, as 16 Base64 characters.
std::string random_cnonce();

// MD5 of the bytes as 32 lower-case hexadecimal digits.
std::string md5_hex(const std::string& text);

// Standard-alphabet Base64 with "=" padding and no line breaks.
std::string base64_encode(const std::string& bytes);

}  // namespace upd
