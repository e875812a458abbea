// Serialised form of request heads and of the header list they carry.
#include "net/http_headers.hpp"
#include "net/http_request.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using header_list_t = std::vector<std::pair<std::string, std::string>>;

upd::http_request_t make_request(const std::string& method, const std::string& target,
                                 const header_list_t& headers) {
    upd::http_request_t request;
    request.method = method;
    request.target = target;
    for (const auto& h : headers) request.headers.add(h.first, h.second);
    return request;
}

struct request_case_t {
    const char* name;
    const char* method;
    const char* target;
    header_list_t headers;
    const char* bytes;
};

const request_case_t request_cases[] = {
    {"get_with_absolute_target", "GET", "http://upd.example.net/bases/version.lst",
     {{"Host", "upd.example.net"}, {"Connection", "close"}, {"Accept", "*/*"}},
     "GET http://upd.example.net/bases/version.lst HTTP/1.1\r\n"
     "Host: upd.example.net\r\n"
     "Connection: close\r\n"
     "Accept: */*\r\n"
     "\r\n"},
    {"connect_with_host_and_port", "CONNECT", "upd.example.net:443",
     {{"Host", "upd.example.net:443"}, {"Proxy-Authorization", "Basic Og=="}},
     "CONNECT upd.example.net:443 HTTP/1.1\r\n"
     "Host: upd.example.net:443\r\n"
     "Proxy-Authorization: Basic Og==\r\n"
     "\r\n"},
    {"empty_target_becomes_slash", "GET", "", {{"Host", "h"}},
     "GET / HTTP/1.1\r\nHost: h\r\n\r\n"},
    {"no_headers", "GET", "/f", {}, "GET /f HTTP/1.1\r\n\r\n"},
    {"duplicates_and_order_kept", "GET", "/f", {{"X-B", "2"}, {"X-A", "1"}, {"X-B", "3"}},
     "GET /f HTTP/1.1\r\nX-B: 2\r\nX-A: 1\r\nX-B: 3\r\n\r\n"},
    {"empty_value", "GET", "/f", {{"X-Empty", ""}}, "GET /f HTTP/1.1\r\nX-Empty: \r\n\r\n"},
    // A CR or LF taken from configuration or a challenge must not start a header of its own.
    {"crlf_in_value_cannot_inject_header", "GET", "/f",
     {{"User-Agent", "agent\r\nX-Injected: 1"}, {"Accept", "*/*"}},
     "GET /f HTTP/1.1\r\nUser-Agent: agent  X-Injected: 1\r\nAccept: */*\r\n\r\n"},
    {"bare_lf_in_value", "GET", "/f", {{"X", "a\nb"}}, "GET /f HTTP/1.1\r\nX: a b\r\n\r\n"},
    {"bare_cr_in_value", "GET", "/f", {{"X", "a\rb"}}, "GET /f HTTP/1.1\r\nX: a b\r\n\r\n"},
    {"value_ending_in_crlf_cannot_end_head", "GET", "/f", {{"X", "v\r\n\r\n"}, {"Y", "w"}},
     "GET /f HTTP/1.1\r\nX: v    \r\nY: w\r\n\r\n"},
    {"crlf_in_name", "GET", "/f", {{"X\r\nY", "v"}}, "GET /f HTTP/1.1\r\nX  Y: v\r\n\r\n"},
    {"crlf_in_target_cannot_split_request_line", "GET", "/f\r\nX-Injected: 1",
     {{"Host", "h"}}, "GET /f  X-Injected: 1 HTTP/1.1\r\nHost: h\r\n\r\n"},
};

void PrintTo(const request_case_t& c, std::ostream* os) { *os << c.name; }

class request_bytes_test : public ::testing::TestWithParam<request_case_t> {};

TEST_P(request_bytes_test, serialises_exact_bytes) {
    const request_case_t& c = GetParam();
    EXPECT_EQ(make_request(c.method, c.target, c.headers).to_string(), c.bytes);
}

// Whatever the fields hold, the head has exactly one CRLF per line and one blank line at its end.
TEST_P(request_bytes_test, line_breaks_only_where_lines_end) {
    const request_case_t& c = GetParam();
    const std::string text = make_request(c.method, c.target, c.headers).to_string();
    std::size_t crlf = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(text[i - 1], '\r') << "bare LF at " << i;
            ++crlf;
        } else if (text[i] == '\r') {
            ASSERT_LT(i + 1, text.size());
            EXPECT_EQ(text[i + 1], '\n') << "bare CR at " << i;
        }
    }
    EXPECT_EQ(crlf, c.headers.size() + 2);
    EXPECT_EQ(text.find("\r\n\r\n"), text.size() - 4);
}

INSTANTIATE_TEST_SUITE_P(cases, request_bytes_test, ::testing::ValuesIn(request_cases),
                         [](const ::testing::TestParamInfo<request_case_t>& info) {
                             return std::string(info.param.name);
                         });

TEST(request_test, version_fields_are_printed) {
    upd::http_request_t request = make_request("GET", "/f", {});
    EXPECT_EQ(request.version_major, 1u);
    EXPECT_EQ(request.version_minor, 1u);
    request.version_minor = 0;
    EXPECT_EQ(request.to_string(), "GET /f HTTP/1.0\r\n\r\n");
}

TEST(headers_test, find_is_exact_and_returns_first_match) {
    upd::http_headers_t headers;
    headers.add("Content-Type", "text/plain");
    headers.add("X-Dup", "first");
    headers.add("X-Dup", "second");
    EXPECT_EQ(headers.find("Content-Type"), "text/plain");
    EXPECT_EQ(headers.find("X-Dup"), "first");
    EXPECT_EQ(headers.find("content-type"), "");
    EXPECT_EQ(headers.find("Content-Type "), "");
    EXPECT_EQ(headers.find("Missing"), "");
    // Absent names share one empty string that outlives the list.
    const std::string* absent = &headers.find("Missing");
    {
        upd::http_headers_t other;
        EXPECT_EQ(&other.find("Other"), absent);
    }
    EXPECT_TRUE(absent->empty());
}

TEST(headers_test, append_keeps_order_of_both_lists) {
    upd::http_headers_t a;
    a.add("A", "1");
    upd::http_headers_t b;
    b.add("B", "2");
    b.add("A", "3");
    a.append(b);
    const header_list_t expected = {{"A", "1"}, {"B", "2"}, {"A", "3"}};
    ASSERT_EQ(a.size(), expected.size());
    EXPECT_TRUE(std::equal(a.begin(), a.end(), expected.begin()));
    EXPECT_EQ(b.size(), 2u);
}

TEST(headers_test, append_to_itself_doubles_the_list) {
    upd::http_headers_t a;
    a.add("A", "1");
    a.add("B", "2");
    a.append(a);
    const header_list_t expected = {{"A", "1"}, {"B", "2"}, {"A", "1"}, {"B", "2"}};
    ASSERT_EQ(a.size(), expected.size());
    EXPECT_TRUE(std::equal(a.begin(), a.end(), expected.begin()));
}

}  // namespace
