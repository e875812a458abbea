// Any Proxy-Authenticate challenge is answered without a line break, or refused with EC_PROXY_AUTH_ERROR.
#include "framework/error_code.hpp"
#include "fuzz/fuzz_support.hpp"
#include "net/proxy_auth.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::install_quiet_log();  // without a sink, the challenges' lines would pile up
    upd::http_request_t request;
    request.method = "GET", request.target = "http://update.example/bases/version.lst";
    upd::http_response_t response;
    response.set_status(407),
        response.mutable_headers().add("Proxy-Authenticate", std::string(reinterpret_cast<const char*>(data), size));
    try {
        const upd::proxy_challenge_t challenge = upd::read_proxy_challenge(response);
        request.headers.add("Proxy-Authorization",
                            upd::answer_proxy_challenge(challenge, request, "user", "secret", 7, "Y25vbmNl"));
        const std::string head = request.to_string();
        if (std::count_if(head.begin(), head.end(), [](char c) { return c == '\n' || c == '\r'; }) !=
            static_cast<std::ptrdiff_t>(2 * (request.headers.size() + 2)))
            std::abort();
    } catch (const boost::system::system_error& e) {
        if (e.code() != tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR)) std::abort();
    }
    return 0;
}
