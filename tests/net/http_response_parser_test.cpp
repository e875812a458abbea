// Response head parsing: every message of the table whole, split at every offset and byte by byte.
#include "net/http_response_parser.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;
using header_list_t = std::vector<std::pair<std::string, std::string>>;
using parser_t = upd::http_response_parser_t;

struct message_case_t {
    std::string name;
    std::string head;  // the bytes the parser takes
    std::string rest;  // the bytes it leaves: body, or what follows the point of failure
    parser_t::result_t result;
    int status;
    std::string reason;
    unsigned major;
    unsigned minor;
    header_list_t headers;
    bool every_offset;  // huge messages are split at sampled offsets only
};

void PrintTo(const message_case_t& c, std::ostream* os) { *os << c.name; }

std::string many_headers(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "H" + std::to_string(i) + ": v\r\n";
    return text;
}

header_list_t many_header_list(std::size_t count) {
    header_list_t list;
    for (std::size_t i = 0; i < count; ++i) list.emplace_back("H" + std::to_string(i), "v");
    return list;
}

const std::size_t line_limit = 1048576;

std::vector<message_case_t> message_cases() {
    const auto C = parser_t::complete;
    const auto I = parser_t::incomplete;
    const auto X = parser_t::invalid;
    std::vector<message_case_t> cases = {
        {"status_header_and_body", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n",
         "body bytes\r\n\r\n", C, 200, "OK", 1, 1, {{"Content-Type", "text/plain"}}, true},
        {"lower_case_prefix_version_1_0", "http/1.0 404 Not Found\r\n\r\n", "", C, 404,
         "Not Found", 1, 0, {}, true},
        {"mixed_case_prefix", "HtTp/1.1 204 No Content\r\n\r\n", "x", C, 204, "No Content", 1, 1,
         {}, true},
        {"other_five_characters_refused", "HTTX/", "1.1 200 OK\r\n\r\n", X, 0, "", 1, 1, {},
         true},
        {"non_ascii_in_prefix_refused", "HTTP\x80", "1.1 200 OK\r\n\r\n", X, 0, "", 1, 1, {},
         true},
        {"blank_lines_before_prefix_skipped", "\r\n\r\n \t HTTP/1.1 200 OK\r\n\r\n", "", C, 200,
         "OK", 1, 1, {}, true},
        {"blanks_around_header_value_and_before_colon",
         "HTTP/1.1 200 OK\r\nX-Pad:   inner  blanks \t \r\nName :v\r\n  Lead: w\r\n\r\n", "", C,
         200, "OK", 1, 1, {{"X-Pad", "inner  blanks"}, {"Name", "v"}, {"Lead", "w"}}, true},
        {"duplicates_order_and_case_kept",
         "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest a=b\r\n"
         "proxy-authenticate: Basic\r\nProxy-Authenticate: NTLM\r\n\r\n",
         "", C, 407, "Proxy Authentication Required", 1, 1,
         {{"Proxy-Authenticate", "Digest a=b"},
          {"proxy-authenticate", "Basic"},
          {"Proxy-Authenticate", "NTLM"}},
         true},
        {"value_split_at_first_colon_only",
         "HTTP/1.1 301 Moved\r\nLocation: http://h:80/x\r\nEmpty:\r\n: nameless\r\n\r\n", "", C,
         301, "Moved", 1, 1, {{"Location", "http://h:80/x"}, {"Empty", ""}, {"", "nameless"}},
         true},
        {"blank_only_line_ends_head", "HTTP/1.1 200 OK\r\nA: 1\r\n \t \r\n", "B: 2\r\n\r\n", C,
         200, "OK", 1, 1, {{"A", "1"}}, true},
        {"inner_cr_kept_in_value", "HTTP/1.1 200 OK\r\nX: a\rb\r\n\r\n", "", C, 200, "OK", 1, 1,
         {{"X", "a\rb"}}, true},
        {"del_byte_accepted", "HTTP/1.1 200 O\x7FK\r\n\r\n", "", C, 200, "O\x7FK", 1, 1, {},
         true},
        {"tabs_around_status", "HTTP/1.1\t200\tOK \t\r\n\r\n", "", C, 200, "OK", 1, 1, {}, true},
        {"blank_lines_before_status_code", "HTTP/1.1 \r\n 301 Moved\r\n\r\n", "", C, 301,
         "Moved", 1, 1, {}, true},
        {"status_without_reason_takes_next_line",
         "HTTP/1.1 200\r\nContent-Type: x\r\n\r\n", "body", C, 200, "Content-Type: x", 1, 1, {},
         true},
        {"status_without_reason_then_blank_line_waits", "HTTP/1.1 200\r\n\r\n", "", I, 200, "",
         1, 1, {}, true},
        {"eleven_digit_status", "HTTP/1.1 00000000200 OK\r\n\r\n", "", C, 200, "OK", 1, 1, {},
         true},
        {"twelve_digit_status_refused", "HTTP/1.1 12345678901", "2 OK\r\n\r\n", X, 0, "", 1, 1,
         {}, true},
        {"oversized_status_does_not_wrap_to_200", "HTTP/1.1 4294967496 OK\r\n\r\n", "", C,
         2147483647, "OK", 1, 1, {}, true},
        {"eleven_digit_version", "HTTP/99999999999.00000000007 200 OK\r\n\r\n", "", C, 200, "OK",
         2147483647u, 7, {}, true},
        {"twelve_digit_minor_refused", "HTTP/1.00000000000", "0 200 OK\r\n\r\n", X, 0, "", 1, 1,
         {}, true},
        {"missing_dot_refused", "HTTP/2", " 200 OK\r\n\r\n", X, 0, "", 2, 1, {}, true},
        {"missing_major_refused", "HTTP/", ".1 200 OK\r\n\r\n", X, 0, "", 1, 1, {}, true},
        {"blank_after_prefix_refused", "HTTP/", " 1.1 200 OK\r\n\r\n", X, 0, "", 1, 1, {}, true},
        {"missing_minor_refused", "HTTP/1.", " 200 OK\r\n\r\n", X, 0, "", 1, 1, {}, true},
        {"non_digit_status_refused", "HTTP/1.1 ", "OK\r\n\r\n", X, 0, "", 1, 1, {}, true},
        {"header_without_colon_refused", "HTTP/1.1 200 OK\r\nNoColon\r\n", "\r\n", X, 200, "OK",
         1, 1, {}, true},
        {"bare_lf_after_reason_refused", "HTTP/1.1 200 OK\n", "X: y\r\n\r\n", X, 200, "", 1, 1,
         {}, true},
        {"bare_lf_after_header_refused", "HTTP/1.1 200 OK\r\nA: 1\r\nX: y\n", "\r\n", X, 200,
         "OK", 1, 1, {{"A", "1"}}, true},
        {"bare_lf_as_last_line_refused", "HTTP/1.1 200 OK\r\nA: 1\r\n\n", "body", X, 200, "OK", 1,
         1, {{"A", "1"}}, true},
        {"byte_0x80_in_reason_refused", "HTTP/1.1 200 O", "\x80K\r\n\r\n", X, 200, "", 1, 1, {},
         true},
        {"byte_0xff_in_header_refused", "HTTP/1.1 200 OK\r\nX: ", "\xFF\r\n\r\n", X, 200, "OK", 1,
         1, {}, true},
        {"nul_in_reason_refused", "HTTP/1.1 200 O", "\0K\r\n\r\n"s, X, 200, "", 1, 1, {}, true},
        {"nul_in_header_refused", "HTTP/1.1 200 OK\r\nX: a", "\0b\r\n\r\n"s, X, 200, "OK", 1, 1,
         {}, true},
        {"nul_in_blank_line_refused", "HTTP/1.1 200 OK\r\n", "\0\r\n"s, X, 200, "OK", 1, 1, {},
         true},
        {"head_not_finished", "HTTP/1.1 200 OK\r\nA: 1\r\n", "", I, 200, "OK", 1, 1, {{"A", "1"}},
         true},
        {"nothing_yet", "", "", I, 0, "", 1, 1, {}, true},
        {"blanks_only", "\r\n \r\n\t", "", I, 0, "", 1, 1, {}, true},
    };

    const std::string status = "HTTP/1.1 200 OK\r\n";
    cases.push_back({"hundred_headers_accepted", status + many_headers(100) + "\r\n", "body", C,
                     200, "OK", 1, 1, many_header_list(100), true});
    cases.push_back({"line_after_101st_header_refused", status + many_headers(101) + "\r\n", "",
                     X, 200, "OK", 1, 1, many_header_list(101), true});
    cases.push_back({"line_after_102nd_header_never_read", status + many_headers(101) + "Z: 1\r\n",
                     "\r\n", X, 200, "OK", 1, 1, many_header_list(101), true});

    // A line may hold up to line_limit + 1 bytes with its CR LF; one more is refused at the LF.
    const std::string longest(line_limit - 4, 'v');
    cases.push_back({"longest_header_line_accepted", status + "X: " + longest + "\r\n\r\n", "", C,
                     200, "OK", 1, 1, {{"X", longest}}, false});
    cases.push_back({"header_line_over_limit_refused", status + "X: " + longest + "v\r",
                     "\n\r\n", X, 200, "OK", 1, 1, {}, false});
    const std::string long_reason(line_limit - 1, 'r');
    cases.push_back({"longest_reason_accepted", "HTTP/1.1 200 " + long_reason + "\r\n\r\n", "", C,
                     200, long_reason, 1, 1, {}, false});
    cases.push_back({"reason_over_limit_refused", "HTTP/1.1 200 " + long_reason + "r\r", "\n\r\n",
                     X, 200, "", 1, 1, {}, false});
    return cases;
}

void expect_fields(const message_case_t& c, const parser_t& parser) {
    const upd::http_response_t& r = parser.response();
    EXPECT_EQ(r.status(), c.status);
    EXPECT_TRUE(r.reason() == c.reason) << "reason of " << r.reason().size() << " bytes";
    EXPECT_EQ(r.version_major(), c.major);
    EXPECT_EQ(r.version_minor(), c.minor);
    ASSERT_EQ(r.headers().size(), c.headers.size());
    std::size_t i = 0;
    for (const auto& h : r.headers()) {
        EXPECT_EQ(h.first, c.headers[i].first) << "header " << i;
        EXPECT_TRUE(h.second == c.headers[i].second) << "header " << i;
        ++i;
    }
}

// Once a result is final, the parser keeps it and takes nothing more.
void expect_final_state_sticks(const message_case_t& c, parser_t& parser) {
    if (c.result == parser_t::incomplete) return;
    const std::string more = "HTTP/1.1 200 OK\r\n\r\n";
    std::size_t consumed = 99;
    EXPECT_EQ(parser.parse(more.data(), more.size(), consumed), c.result);
    EXPECT_EQ(consumed, 0u);
}

class message_test : public ::testing::TestWithParam<message_case_t> {};

TEST_P(message_test, whole_buffer) {
    const message_case_t& c = GetParam();
    const std::string bytes = c.head + c.rest;
    parser_t parser;
    std::size_t consumed = 99;
    EXPECT_EQ(parser.parse(bytes.data(), bytes.size(), consumed), c.result);
    EXPECT_EQ(consumed, c.head.size());
    expect_fields(c, parser);
    expect_final_state_sticks(c, parser);
}

std::vector<std::size_t> split_offsets(const message_case_t& c, std::size_t size) {
    std::vector<std::size_t> offsets;
    if (c.every_offset) {
        for (std::size_t k = 0; k <= size; ++k) offsets.push_back(k);
        return offsets;
    }
    for (std::size_t k = 0; k <= size; ++k) {
        if (k < 64 || size - k < 64 || k % 65521 == 0) offsets.push_back(k);
    }
    return offsets;
}

TEST_P(message_test, split_in_two_at_every_offset) {
    const message_case_t& c = GetParam();
    const std::string bytes = c.head + c.rest;
    for (std::size_t k : split_offsets(c, bytes.size())) {
        SCOPED_TRACE("split at " + std::to_string(k));
        parser_t parser;
        std::size_t first = 99;
        const parser_t::result_t r1 = parser.parse(bytes.data(), k, first);
        if (r1 != parser_t::incomplete) {
            // The outcome was decided inside the first part.
            EXPECT_EQ(r1, c.result);
            EXPECT_EQ(first, c.head.size());
            EXPECT_LE(first, k);
        } else {
            EXPECT_EQ(first, k);
            std::size_t second = 99;
            EXPECT_EQ(parser.parse(bytes.data() + k, bytes.size() - k, second), c.result);
            EXPECT_EQ(k + second, c.head.size());
        }
        expect_fields(c, parser);
        if (::testing::Test::HasFailure()) return;
    }
}

TEST_P(message_test, one_byte_at_a_time) {
    const message_case_t& c = GetParam();
    const std::string bytes = c.head + c.rest;
    parser_t parser;
    std::size_t total = 0;
    parser_t::result_t result = parser_t::incomplete;
    std::size_t i = 0;
    for (; i < bytes.size() && result == parser_t::incomplete; ++i) {
        std::size_t consumed = 99;
        result = parser.parse(bytes.data() + i, 1, consumed);
        if (result == parser_t::incomplete) {
            ASSERT_EQ(consumed, 1u) << "byte " << i;
        }
        total += consumed;
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(total, c.head.size());
    // The decisive byte is the last one taken, or the one after it when it was refused.
    if (c.result != parser_t::incomplete) {
        EXPECT_TRUE(i == c.head.size() || i == c.head.size() + 1) << "decided at byte " << i - 1;
    }
    expect_fields(c, parser);
    expect_final_state_sticks(c, parser);
}

// Feeding nothing never changes anything.
TEST_P(message_test, empty_feeds_between_bytes_change_nothing) {
    const message_case_t& c = GetParam();
    const std::string bytes = c.head + c.rest;
    parser_t parser;
    std::size_t total = 0;
    parser_t::result_t result = parser_t::incomplete;
    for (std::size_t i = 0; i < bytes.size() && result == parser_t::incomplete; ++i) {
        std::size_t consumed = 99;
        ASSERT_EQ(parser.parse(bytes.data() + i, 0, consumed), parser_t::incomplete);
        ASSERT_EQ(consumed, 0u);
        result = parser.parse(bytes.data() + i, 1, consumed);
        total += consumed;
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(total, c.head.size());
    expect_fields(c, parser);
}

INSTANTIATE_TEST_SUITE_P(messages, message_test, ::testing::ValuesIn(message_cases()),
                         [](const ::testing::TestParamInfo<message_case_t>& info) {
                             return info.param.name;
                         });

TEST(response_parser_test, fresh_parser_and_response_defaults) {
    EXPECT_EQ(parser_t::response_start, "HTTP/");
    const parser_t parser;
    EXPECT_EQ(parser.response().status(), 0);
    EXPECT_EQ(parser.response().reason(), "");
    EXPECT_EQ(parser.response().version_major(), 1u);
    EXPECT_EQ(parser.response().version_minor(), 1u);
    EXPECT_EQ(parser.response().headers().size(), 0u);
}

TEST(response_parser_test, reset_forgets_previous_head_and_failure) {
    parser_t parser;
    const std::string first = "HTTP/1.0 404 Not Found\r\nA: 1\r\n\r\n";
    std::size_t consumed = 0;
    ASSERT_EQ(parser.parse(first.data(), first.size(), consumed), parser_t::complete);

    parser.reset();
    EXPECT_EQ(parser.response().status(), 0);
    EXPECT_EQ(parser.response().headers().size(), 0u);
    EXPECT_EQ(parser.response().version_minor(), 1u);

    const std::string bad = "FTP/1";
    ASSERT_EQ(parser.parse(bad.data(), bad.size(), consumed), parser_t::invalid);
    parser.reset();
    const std::string second = "HTTP/1.1 200 OK\r\nB: 2\r\n\r\n";
    ASSERT_EQ(parser.parse(second.data(), second.size(), consumed), parser_t::complete);
    EXPECT_EQ(consumed, second.size());
    EXPECT_EQ(parser.response().status(), 200);
    EXPECT_EQ(parser.response().reason(), "OK");
    ASSERT_EQ(parser.response().headers().size(), 1u);
    EXPECT_EQ(parser.response().headers().find("B"), "2");
    EXPECT_EQ(parser.response().headers().find("A"), "");
}

// A partly read token must not be lost or duplicated when reset comes between two heads.
TEST(response_parser_test, reset_in_the_middle_of_a_token) {
    parser_t parser;
    std::size_t consumed = 0;
    const std::string partial = "HTTP/1.1 200 Partial rea";
    ASSERT_EQ(parser.parse(partial.data(), partial.size(), consumed), parser_t::incomplete);
    parser.reset();
    const std::string whole = "HTTP/1.1 500 Error\r\n\r\n";
    ASSERT_EQ(parser.parse(whole.data(), whole.size(), consumed), parser_t::complete);
    EXPECT_EQ(parser.response().status(), 500);
    EXPECT_EQ(parser.response().reason(), "Error");
}

}  // namespace
