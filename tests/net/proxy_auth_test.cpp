// Proxy-Authorization values for Basic and Digest challenges, their refusals and log lines.
#include "net/proxy_auth.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include <cstdio>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

using log_line_t = std::pair<int, std::string>;

class capture_log_t : public cf_log_t {
public:
    void open() override {}
    void write(level_t level, const std::string& message) override {
        lines.emplace_back(level, message);
    }
    void write(const std::string&, int, const std::string& message) override {
        lines.emplace_back(error, message);
    }
    void out_of_memory() override {}
    std::vector<log_line_t> lines;
};

class proxy_auth_test : public ::testing::Test {
protected:
    void SetUp() override {
        reset_log_for_tests();
        saved_level_ = cf_log_t::level_;
        cf_log_t::level_ = cf_log_t::debug;
        log_ = std::make_shared<capture_log_t>();
        set_log(log_);
    }
    void TearDown() override {
        cf_log_t::level_ = saved_level_;
        reset_log_for_tests();
    }
    bool logged(int level, const std::string& text) const {
        for (const auto& line : log_->lines) {
            if (line.first == level && line.second == text) return true;
        }
        return false;
    }
    std::vector<std::string> lines_at(int level) const {
        std::vector<std::string> out;
        for (const auto& line : log_->lines) {
            if (line.first == level) out.push_back(line.second);
        }
        return out;
    }

    std::shared_ptr<capture_log_t> log_;
    int saved_level_ = cf_log_t::debug;
};

upd::http_request_t request(const std::string& method, const std::string& target) {
    upd::http_request_t r;
    r.method = method;
    r.target = target;
    return r;
}

upd::http_response_t response_407(const std::vector<log_line_t>& headers) {
    upd::http_response_t r;
    r.set_status(407);
    r.set_reason("Proxy Authentication Required");
    for (const auto& h : headers) {
        r.mutable_headers().add(h.first == 0 ? "Proxy-Authenticate" : "X-Other", h.second);
    }
    return r;
}

upd::http_response_t challenge(const std::string& text) { return response_407({{0, text}}); }

// MD5 through the streaming EVP calls and printf, apart from the code under test.
std::string reference_md5(const std::string& text) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
    for (char c : text) EVP_DigestUpdate(ctx.get(), &c, 1);
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

struct digest_input_t {
    std::string user, realm, password, method, uri, nonce, nc, cnonce, qop;
};

// The RFC 2617 request-digest, written out from the RFC's formulas.
std::string reference_digest(const digest_input_t& in) {
    const std::string ha1 = reference_md5(in.user + ":" + in.realm + ":" + in.password);
    const std::string ha2 = reference_md5(in.method + ":" + in.uri);
    if (in.qop.empty()) return reference_md5(ha1 + ":" + in.nonce + ":" + ha2);
    return reference_md5(ha1 + ":" + in.nonce + ":" + in.nc + ":" + in.cnonce + ":" + in.qop +
                         ":" + ha2);
}

TEST(reference_digest_test, reproduces_rfc_2617_example) {
    const digest_input_t in = {"Mufasa", "testrealm@host.com", "Circle Of Life", "GET",
                               "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
                               "00000001", "0a4f113b", "auth"};
    EXPECT_EQ(reference_digest(in), "6629fae49393a05397450978507c4ef1");
}

struct digest_fields_t {
    std::string username, realm, nonce, uri, cnonce, qop, response;
};

// Matches the exact layout, field order included; fails the test when it does not.
digest_fields_t split_digest(const std::string& value) {
    static const std::regex layout(
        "Digest username=\"([^\"]*)\", realm=\"([^\"]*)\", nonce=\"([^\"]*)\", uri=\"([^\"]*)\", "
        "cnonce=\"([^\"]*)\", nc=00000001, qop=\"([^\"]*)\", response=\"([0-9a-f]{32})\"");
    std::smatch m;
    digest_fields_t f;
    if (!std::regex_match(value, m, layout)) {
        ADD_FAILURE() << "unexpected layout: " << value;
        return f;
    }
    f = {m[1], m[2], m[3], m[4], m[5], m[6], m[7]};
    return f;
}

struct digest_case_t {
    const char* name;
    const char* method;
    const char* target;
    const char* challenge;
    const char* user;
    const char* password;
    std::time_t now;
    // expected
    const char* realm;
    const char* nonce;
    const char* uri;
    const char* qop;
    const char* cnonce;
};

const digest_case_t digest_cases[] = {
    {"rfc_example_through_proxy", "GET", "http://www.nowhere.org/dir/index.html",
     "Digest realm=\"testrealm@host.com\", qop=\"auth\", "
     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
     "Mufasa", "Circle Of Life", 1234567890, "testrealm@host.com",
     "dcd98b7102dd2f0e8b11d0f600bfb0c093", "/dir/index.html", "auth", "MTIzNDU2Nzg5MA=="},
    {"connect_uri_is_host_and_port", "CONNECT", "upd.example.net:443",
     "Digest realm=\"r\", nonce=\"n1\", qop=\"auth\"", "u", "p", 1700000000, "r", "n1",
     "upd.example.net:443", "auth", "MTcwMDAwMDAwMA=="},
    {"plain_request_uri_is_slash_and_path", "GET", "http://h:8080/bases/version.lst?x=1",
     "Digest realm=\"r\", nonce=\"n\", qop=\"auth\"", "u", "p", 0, "r", "n",
     "/bases/version.lst?x=1", "auth", "MA=="},
    {"root_target_uri_is_slash", "GET", "http://h", "Digest realm=\"r\", nonce=\"n\"", "u", "p",
     1, "r", "n", "/", "", "MQ=="},
    {"no_qop_uses_short_formula", "GET", "http://h/f",
     "Digest realm=\"r\", nonce=\"abc\", algorithm=MD5", "user", "pass", 1234567890, "r", "abc",
     "/f", "", "MTIzNDU2Nzg5MA=="},
    {"bare_qop_value", "GET", "http://h/f", "Digest realm=\"r\", nonce=n2, qop=auth", "u", "p",
     42, "r", "n2", "/f", "auth", "NDI="},
    {"capital_scheme_and_names", "GET", "http://h/f",
     "DIGEST REALM=\"Big\", Nonce=\"N\", QOP=\"auth\"", "u", "p", 7, "Big", "N", "/f", "auth",
     "Nw=="},
    {"lower_case_scheme", "GET", "http://h/f", "digest realm=\"r\", nonce=\"n\"", "u", "p", 7, "r",
     "n", "/f", "", "Nw=="},
    {"digest_preferred_over_basic", "GET", "http://h/f",
     "Basic realm=\"b\", Digest realm=\"d\", nonce=\"n\"", "u", "p", 7, "d", "n", "/f", "", "Nw=="},
    {"later_duplicate_replaces_earlier", "GET", "http://h/f",
     "Digest nonce=\"first\", nonce=\"second\", realm=\"r\"", "u", "p", 7, "r", "second", "/f", "",
     "Nw=="},
    {"algorithm_not_consulted", "GET", "http://h/f",
     "Digest realm=\"r\", nonce=\"n\", qop=\"auth\", algorithm=\"MD5-sess\"", "u", "p", 7, "r",
     "n", "/f", "auth", "Nw=="},
    {"c_locale_white_space_terminators", "GET", "http://h/f",
     "Digest\v\f realm=\"r\",\t\r\nnonce=\"n\"\t", "u", "p", 7, "r", "n", "/f", "", "Nw=="},
    {"quoted_value_with_blanks_and_commas", "GET", "http://h/f",
     "Digest realm=\"proxy, the one\", nonce=\"a b\"", "u", "p", 7, "proxy, the one", "a b", "/f",
     "", "Nw=="},
    // The scan stops at an item it cannot read; what was read before it is still used.
    {"empty_quoted_realm_stops_scan_before_nonce", "GET", "http://h/f",
     "Digest realm=\"\", nonce=\"n\", qop=\"auth\"", "u", "p", 7, "", "", "/f", "", "Nw=="},
    {"blank_before_comma_stops_scan", "GET", "http://h/f",
     "Digest realm=\"r\" , nonce=\"n\"", "u", "p", 7, "r", "", "/f", "", "Nw=="},
    {"bare_value_with_hyphen_stops_scan", "GET", "http://h/f",
     "Digest realm=\"r\", algorithm=MD5-sess, nonce=\"n\"", "u", "p", 7, "r", "", "/f", "",
     "Nw=="},
    {"non_c_locale_space_stops_scan", "GET", "http://h/f", "Digest realm=\"r\",\xA0nonce=\"n\"",
     "u", "p", 7, "r", "", "/f", "", "Nw=="},
    {"empty_credentials", "GET", "http://h/f", "Digest realm=\"r\", nonce=\"n\", qop=\"auth\"", "",
     "", 7, "r", "n", "/f", "auth", "Nw=="},
};

class digest_test : public proxy_auth_test, public ::testing::WithParamInterface<digest_case_t> {};

TEST_P(digest_test, value_layout_and_response) {
    const digest_case_t& c = GetParam();
    const std::string value = upd::make_proxy_authorization(
        request(c.method, c.target), challenge(c.challenge), c.user, c.password, c.now);
    const digest_fields_t f = split_digest(value);
    EXPECT_EQ(f.username, c.user);
    EXPECT_EQ(f.realm, c.realm);
    EXPECT_EQ(f.nonce, c.nonce);
    EXPECT_EQ(f.uri, c.uri);
    EXPECT_EQ(f.qop, c.qop);
    EXPECT_EQ(f.cnonce, c.cnonce);
    const digest_input_t in = {c.user, c.realm, c.password, c.method, c.uri,
                               c.nonce, "00000001", c.cnonce, c.qop};
    EXPECT_EQ(f.response, reference_digest(in));
    EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos);
}

TEST_P(digest_test, debug_lines_show_challenge_and_answer) {
    const digest_case_t& c = GetParam();
    const std::string value = upd::make_proxy_authorization(
        request(c.method, c.target), challenge(c.challenge), c.user, c.password, c.now);
    EXPECT_TRUE(logged(cf_log_t::debug, std::string("Proxy-Authenticate: ") + c.challenge));
    EXPECT_TRUE(logged(cf_log_t::debug, "Proxy-Authorization: " + value));
    EXPECT_TRUE(lines_at(cf_log_t::error).empty());
}

INSTANTIATE_TEST_SUITE_P(cases, digest_test, ::testing::ValuesIn(digest_cases),
                         [](const ::testing::TestParamInfo<digest_case_t>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(proxy_auth_test, unreadable_rest_of_challenge_is_logged_at_debug) {
    const std::string text = "Digest realm=\"\", nonce=\"n\"";
    upd::make_proxy_authorization(request("GET", "http://h/f"), challenge(text), "u", "p", 7);
    EXPECT_TRUE(logged(cf_log_t::debug, "Can not parse \"realm=\"\", nonce=\"n\"\""));
}

TEST_F(proxy_auth_test, fully_read_challenge_logs_no_parse_complaint) {
    upd::make_proxy_authorization(request("GET", "http://h/f"),
                                  challenge("Digest realm=\"r\", nonce=\"n\""), "u", "p", 7);
    for (const std::string& line : lines_at(cf_log_t::debug)) {
        EXPECT_EQ(line.find("Can not parse"), std::string::npos) << line;
    }
}

// The design's own signature reads the clock: its cnonce is a current decimal time in Base64.
TEST_F(proxy_auth_test, cnonce_comes_from_current_time) {
    const std::time_t before = std::time(nullptr);
    const std::string value =
        upd::make_proxy_authorization(request("GET", "http://h/f"),
                                      challenge("Digest realm=\"r\", nonce=\"n\", qop=\"auth\""),
                                      "Mufasa", "Circle Of Life");
    const std::time_t after = std::time(nullptr);
    const digest_fields_t f = split_digest(value);
    bool matched = false;
    for (std::time_t t = before; t <= after; ++t) {
        if (f.cnonce == upd::base64_encode(std::to_string(t))) matched = true;
    }
    EXPECT_TRUE(matched) << f.cnonce;
    EXPECT_EQ(f.cnonce.size(), 16u);
    const digest_input_t in = {"Mufasa", "r", "Circle Of Life", "GET", "/f",
                               "n",      "00000001", f.cnonce, "auth"};
    EXPECT_EQ(f.response, reference_digest(in));
}

struct basic_case_t {
    const char* name;
    const char* challenge;
    std::string user;
    std::string password;
    const char* value;
};

const basic_case_t basic_cases[] = {
    {"empty_credentials", "Basic realm=\"proxy\"", "", "", "Basic Og=="},
    {"rfc_example", "Basic realm=\"WallyWorld\"", "Aladdin", "open sesame",
     "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
    {"scheme_in_capitals", "BASIC REALM=\"x\"", "Aladdin", "open sesame",
     "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
    {"scheme_alone", "basic", "a", "s3cr3t-pw", "Basic YTpzM2NyM3QtcHc="},
    {"colon_and_high_bytes_in_password", "Basic realm=x", "u", ":\xC3\xA9", "Basic dTo6w6k="},
};

void PrintTo(const basic_case_t& c, std::ostream* os) { *os << c.name; }
void PrintTo(const digest_case_t& c, std::ostream* os) { *os << c.name; }

class basic_test : public proxy_auth_test, public ::testing::WithParamInterface<basic_case_t> {};

TEST_P(basic_test, value) {
    const basic_case_t& c = GetParam();
    upd::http_response_t response = challenge(c.challenge);
    // A later challenge header is never read.
    response.mutable_headers().add("Proxy-Authenticate", "Digest realm=\"r\", nonce=\"n\"");
    EXPECT_EQ(upd::make_proxy_authorization(request("GET", "http://h/f"), response, c.user,
                                            c.password, 7),
              c.value);
}

// The Base64 form is the password in plain sight; no log line may carry either.
TEST_P(basic_test, log_never_shows_credentials) {
    const basic_case_t& c = GetParam();
    const std::string value = upd::make_proxy_authorization(
        request("GET", "http://h/f"), challenge(c.challenge), c.user, c.password, 7);
    const std::string encoded = value.substr(6);
    for (const auto& line : log_->lines) {
        EXPECT_EQ(line.second.find(encoded), std::string::npos) << line.second;
        if (!c.password.empty()) {
            EXPECT_EQ(line.second.find(c.password), std::string::npos) << line.second;
        }
    }
    EXPECT_TRUE(logged(cf_log_t::debug, std::string("Proxy-Authenticate: ") + c.challenge));
}

INSTANTIATE_TEST_SUITE_P(cases, basic_test, ::testing::ValuesIn(basic_cases),
                         [](const ::testing::TestParamInfo<basic_case_t>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(proxy_auth_test, long_credentials_give_one_unbroken_line) {
    const std::string user(300, 'u');
    const std::string password(301, 'p');
    const std::string value = upd::make_proxy_authorization(
        request("GET", "http://h/f"), challenge("Basic realm=\"r\""), user, password, 7);
    ASSERT_EQ(value.compare(0, 6, "Basic "), 0);
    const std::string encoded = value.substr(6);
    EXPECT_EQ(encoded.size(), (user.size() + 1 + password.size() + 2) / 3 * 4);
    EXPECT_EQ(encoded.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(encoded, upd::base64_encode(user + ":" + password));
}

struct refusal_case_t {
    const char* name;
    std::vector<log_line_t> headers;  // first: 0 = Proxy-Authenticate, 1 = other name
    std::vector<std::string> error_lines;
};

const refusal_case_t refusal_cases[] = {
    {"unknown_scheme",
     {{0, "NTLM"}},
     {"Proxy-Authenticate: NTLM", "Not supported authentication type"}},
    {"no_challenge_header", {}, {"Proxy-Authenticate: ", "Not supported authentication type"}},
    {"challenge_under_other_letter_case_not_read",
     {{1, "Digest realm=\"r\""}},
     {"Proxy-Authenticate: ", "Not supported authentication type"}},
    {"scheme_word_only_as_a_value",
     {{0, "Negotiate realm=Basic"}},
     {"Proxy-Authenticate: Negotiate realm=Basic", "Not supported authentication type"}},
    {"unreadable_before_scheme",
     {{0, "=Digest realm=\"r\""}},
     {"Proxy-Authenticate: =Digest realm=\"r\"", "Not supported authentication type"}},
    {"qop_with_two_options",
     {{0, "Digest realm=\"r\", nonce=\"n\", qop=\"auth,auth-int\""}},
     {"Digest authentication with qop=\"auth,auth-int\" is not supported"}},
    {"qop_auth_int",
     {{0, "Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\""}},
     {"Digest authentication with qop=\"auth-int\" is not supported"}},
    {"qop_compared_exactly",
     {{0, "Digest realm=\"r\", nonce=\"n\", qop=\"AUTH\""}},
     {"Digest authentication with qop=\"AUTH\" is not supported"}},
};

void PrintTo(const refusal_case_t& c, std::ostream* os) { *os << c.name; }

class refusal_test : public proxy_auth_test,
                     public ::testing::WithParamInterface<refusal_case_t> {};

TEST_P(refusal_test, proxy_auth_error_and_error_lines) {
    const refusal_case_t& c = GetParam();
    upd::http_response_t response;
    response.set_status(407);
    for (const auto& h : c.headers) {
        response.mutable_headers().add(h.first == 0 ? "Proxy-Authenticate" : "proxy-authenticate",
                                       h.second);
    }
    try {
        upd::make_proxy_authorization(request("GET", "http://h/f"), response, "u", "secret", 7);
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR));
        EXPECT_EQ(error_code_of(e), tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR));
    }
    EXPECT_EQ(lines_at(cf_log_t::error), c.error_lines);
}

INSTANTIATE_TEST_SUITE_P(cases, refusal_test, ::testing::ValuesIn(refusal_cases),
                         [](const ::testing::TestParamInfo<refusal_case_t>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(proxy_auth_test, no_line_built_below_threshold) {
    cf_log_t::level_ = cf_log_t::error;
    upd::make_proxy_authorization(request("GET", "http://h/f"),
                                  challenge("Digest realm=\"\", nonce=\"n\""), "u", "p", 7);
    EXPECT_TRUE(log_->lines.empty());
}

struct md5_case_t {
    std::string text;
    const char* hex;
};

// RFC 1321 test suite.
const md5_case_t md5_cases[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(md5_hex_test, rfc_1321_vectors) {
    for (const md5_case_t& c : md5_cases) {
        EXPECT_EQ(upd::md5_hex(c.text), c.hex) << '"' << c.text << '"';
    }
    const std::string with_nul("a\0b", 3);
    EXPECT_EQ(upd::md5_hex(with_nul), reference_md5(with_nul));
    EXPECT_NE(upd::md5_hex(with_nul), upd::md5_hex("a"));
}

struct base64_case_t {
    std::string bytes;
    const char* text;
};

// RFC 4648 vectors plus bytes that use the last two alphabet characters.
const base64_case_t base64_cases[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\xFB\xFF\xBF", "+/+/"},
    {std::string("\0\0\0\0", 4), "AAAAAA=="},
    {":", "Og=="},
    {"1234567890", "MTIzNDU2Nzg5MA=="},
};

TEST(base64_test, vectors) {
    for (const base64_case_t& c : base64_cases) {
        EXPECT_EQ(upd::base64_encode(c.bytes), c.text) << c.bytes.size() << " bytes";
    }
}

TEST(base64_test, long_input_has_no_line_breaks) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 37);
    const std::string text = upd::base64_encode(bytes);
    EXPECT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
}

}  // namespace
