// Any Proxy-Authenticate challenge is answered or refused with EC_PROXY_AUTH_ERROR, nothing else.
#include "framework/error_code.hpp"
#include "fuzz/fuzz_support.hpp"
#include "net/proxy_auth.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::install_quiet_log();  // the challenge's lines would pile up in the buffer of a log without sink
    upd::http_request_t request;
    request.method = "GET", request.target = "http://update.example/bases/version.lst";
    upd::http_response_t response;
    response.set_status(407),
        response.mutable_headers().add("Proxy-Authenticate", std::string(reinterpret_cast<const char*>(data), size));
    try {
        const upd::proxy_challenge_t challenge = upd::read_proxy_challenge(response);
        const std::string value = upd::answer_proxy_challenge(challenge, request, "user", "secret", 7, "Y25vbmNl");
        // Challenge text echoed into the value must not split the repeated request.
        request.headers.add("Proxy-Authorization", value);
        const std::string head = request.to_string();
        const auto line_ends = std::count_if(head.begin(), head.end(), [](char c) { return c == '\n' || c == '\r'; });
        if (static_cast<std::size_t>(line_ends) != 2 * (request.headers.size() + 2)) std::abort();
    } catch (const boost::system::system_error& e) {
        if (e.code() != tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR)) std::abort();
    }
    return 0;
}
