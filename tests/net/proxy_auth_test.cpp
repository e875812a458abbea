// Answers to proxy challenges, refusals, and what the log may show.
#include "framework/error_code.hpp"
#include "net/proxy_auth.hpp"
#include "tests/support/support.hpp"

namespace {

using upd::md5_hex;

std::string answer(const std::string& challenge, const std::string& target = "http://h/dir/v.lst?x=1",
                   const std::string& method = "GET", std::uint32_t nc = 1) {
    upd::http_request_t request;
    request.method = method, request.target = target;
    upd::http_response_t response;
    response.set_status(407), response.mutable_headers().add("Proxy-Authenticate", challenge);
    try {
        const upd::proxy_challenge_t c = upd::read_proxy_challenge(response);
        return (c.stale ? "stale " : "") + upd::answer_proxy_challenge(c, request, "Mufasa", "Circle Of Life", nc,
                                                                       upd::base64_encode("1700000000"));
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR));
        return std::string("refused: ") + e.what();
    }
}

// The expected Digest value, computed here from its definition.
std::string digest(const std::string& realm, const std::string& nonce, const std::string& qop, const std::string& uri,
                   const std::string& method = "GET", const std::string& nc = "00000001") {
    const std::string cnonce = upd::base64_encode("1700000000");
    const std::string ha1 = md5_hex("Mufasa:" + realm + ":Circle Of Life"), ha2 = md5_hex(method + ":" + uri);
    const std::string response = qop.empty() ? md5_hex(ha1 + ":" + nonce + ":" + ha2)
                                             : md5_hex(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2);
    return "Digest username=\"Mufasa\", realm=\"" + realm + "\", nonce=\"" + nonce + "\", uri=\"" + uri +
           "\", cnonce=\"" + cnonce + "\", nc=" + nc + ", qop=\"" + qop + "\", response=\"" + response + "\"";
}

TEST(proxy_auth, challenges) {
    auto log = ts::capture_log_t::install();
    EXPECT_EQ(answer("Digest realm=\"t@h, 1\", qop=\"auth\", nonce=\"dcd98b\""),
              digest("t@h, 1", "dcd98b", "auth", "/dir/v.lst?x=1"));
    EXPECT_EQ(answer("DIGEST Realm=r,NONCE=n"), digest("r", "n", "", "/dir/v.lst?x=1"));
    // Each request on a nonce counts one up; a nonce gone stale is no refusal of the credentials.
    EXPECT_EQ(answer("Digest realm=r, nonce=n, qop=auth, stale=TRUE", "/x", "GET", 26),
              "stale " + digest("r", "n", "auth", "/x", "GET", "0000001a"));
    const std::string cnonce = upd::random_cnonce();
    EXPECT_TRUE(cnonce.size() == 16 && cnonce != upd::random_cnonce()) << cnonce;
    EXPECT_EQ(answer("Digest realm=\"r\", nonce=\"n\", qop=auth", "h:443", "CONNECT"),
              digest("r", "n", "auth", "h:443", "CONNECT"));
    EXPECT_EQ(answer("Basic realm=\"tavik\""), "Basic TXVmYXNhOkNpcmNsZSBPZiBMaWZl");
    EXPECT_TRUE(log->has("Debug: Proxy-Authorization: Basic <credentials hidden>"));
    EXPECT_TRUE(log->has("Debug: Proxy-Authenticate: Basic realm=\"tavik\""));
    EXPECT_EQ(answer("Digest realm=\"r\", nonce=\"n\", qop=\"auth,auth-int\""),
              "refused: Digest authentication with qop=\"auth,auth-int\" is not supported: Proxy authentication error");
    EXPECT_TRUE(log->has("Error: Digest authentication with qop=\"auth,auth-int\" is not supported"));
    EXPECT_EQ(answer("NTLM"), "refused: Not supported authentication type: Proxy authentication error");
    EXPECT_TRUE(log->has("Error: Proxy-Authenticate: NTLM"));
    EXPECT_EQ(answer("Basic realm=\"a b\" @junk"), "Basic TXVmYXNhOkNpcmNsZSBPZiBMaWZl");
    EXPECT_TRUE(log->has("Debug: Can not parse \"@junk\""));
    for (const auto& line : log->lines) EXPECT_EQ(line.find("Circle"), std::string::npos) << line;
    reset_log_for_tests();
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    const std::pair<std::string, std::string> rows[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"\xff\xfe", "//4="}};
    for (const auto& [bytes, text] : rows) EXPECT_EQ(upd::base64_encode(bytes), text);
    EXPECT_EQ(upd::base64_encode(std::string(300, 'x')).find('\n'), std::string::npos);
}

}  // namespace
