// Response heads: whole, split anywhere and byte by byte; the bound.
#include "net/http_response_parser.hpp"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;
using parser_t = upd::http_response_parser_t;

// "C|I|X status reason major.minor [name=value]...": the result and the fields.
std::string describe(parser_t::result_t result, const parser_t& parser) {
    const upd::http_response_t& r = parser.response();
    std::string out = std::string(1, "CIX"[result]) + " " + std::to_string(r.status()) + " " + r.reason() + " " +
                      std::to_string(r.version_major()) + "." + std::to_string(r.version_minor());
    for (const auto& h : r.headers()) out += " [" + h.first + "=" + h.second + "]";
    return out;
}

// The description after the pieces, and the bytes taken.
std::pair<std::string, std::size_t> feed(const std::vector<std::string>& pieces) {
    parser_t parser;
    parser_t::result_t result = parser_t::incomplete;
    std::size_t taken = 0;
    for (const auto& piece : pieces) {
        std::size_t consumed = 0;
        result = parser.parse(piece.data(), piece.size(), consumed);
        taken += consumed;
        if (result != parser_t::incomplete) break;
    }
    return {describe(result, parser), taken};
}

TEST(http_response_parser, whole_split_and_byte_by_byte) {
    std::string lines, fields;  // the most a head may hold
    for (int i = 0; i < 100; ++i) lines += "H: v\r\n", fields += " [H=v]";
    const struct {
        std::string head, rest, expected;
    } rows[] = {
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", "body\r\n\r\n",
         "C 200 OK 1.1 [Content-Type=text/plain]"},
        {"\r\n \t http/1.0 404 Not Found\r\n\r\n", "", "C 404 Not Found 1.0"},
        {"HTTP/1.1\t407\tAuth \t\r\nP-A:  Digest a=b \t\r\np-a: Basic\r\nName :v\r\n: x\r\nE:\r\n\r\n", "",
         "C 407 Auth 1.1 [P-A=Digest a=b] [p-a=Basic] [Name=v] [=x] [E=]"},
        {"HTTP/1.1 200 OK\r\nA: 1\r\n \t \r\n", "B: 2\r\n\r\n", "C 200 OK 1.1 [A=1]"},
        {"HTTP/1.1 200 O\x7FK\r\nX: a\rb\r\n\r\n", "", "C 200 O\x7FK 1.1 [X=a\rb]"},
        {"HTTP/1.1 \r\n 301 Moved\r\n\r\n", "", "C 301 Moved 1.1"},
        {"HTTP/1.1 200\r\nContent-Type: x\r\n\r\n", "body", "C 200 Content-Type: x 1.1"},
        {"HTTP/1.1 00000000200 OK\r\n\r\n", "", "C 200 OK 1.1"},
        {"HTTP/99999999999.00000000007 200 OK\r\n\r\n", "", "C 200 OK 2147483647.7"},
        {"HTTP/1.1 200 OK\r\n" + lines + "\r\n", "body", "C 200 OK 1.1" + fields},
        {"HTTP/1.1 200 OK\r\nA: 1\r\n", "", "I 200 OK 1.1 [A=1]"},
        {"HTTX/", "1.1 200 OK\r\n\r\n", "X 0  1.1"},
        {"HTTP/1.1 12345678901", "2 OK\r\n\r\n", "X 0  1.1"},
        {"HTTP/2", " 200 OK\r\n\r\n", "X 0  2.1"},
        {"HTTP/", " 1.1 200 OK\r\n\r\n", "X 0  1.1"},
        {"HTTP/1.", " 200 OK\r\n\r\n", "X 0  1.1"},
        {"HTTP/1.1 ", "OK\r\n\r\n", "X 0  1.1"},
        {"HTTP/1.1 200 OK\r\nNoColon\r\n", "\r\n", "X 200 OK 1.1"},
        {"HTTP/1.1 200 OK\n", "X: y\r\n\r\n", "X 200  1.1"},
        {"HTTP/1.1 200 OK\r\nA: 1\r\n\n", "body", "X 200 OK 1.1 [A=1]"},
        {"HTTP/1.1 200 O", "\x80K\r\n\r\n", "X 200  1.1"},
        {"HTTP/1.1 200 OK\r\nX: a", "\0b\r\n\r\n"s, "X 200 OK 1.1"},
        {"HTTP/1.1 200 OK\r\n" + lines + "H: v\r\n\r\n", "", "X 200 OK 1.1" + fields + " [H=v]"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.head);
        const std::string& expected = r.expected;
        const std::string bytes = r.head + r.rest;
        EXPECT_EQ(feed({bytes}), std::make_pair(expected, r.head.size()));
        for (std::size_t k = 0; k <= bytes.size(); k += bytes.size() > 200 ? 37 : 1)
            EXPECT_EQ(feed({bytes.substr(0, k), bytes.substr(k)}).first, expected) << "split at " << k;
        std::vector<std::string> bytewise{""};
        for (char c : bytes) bytewise.push_back(std::string(1, c)), bytewise.push_back("");
        EXPECT_EQ(feed(bytewise).first, expected);
    }
}

TEST(http_response_parser, results_stick_and_heads_are_capped) {
    parser_t parser;
    const std::string first = "HTTP/1.1 404 Gone\r\nA: 1\r\n\r\n", second = "HTTP/1.0 200 OK\r\n\r\n";
    std::size_t consumed = 0;
    EXPECT_EQ(parser.parse(first.data(), first.size(), consumed), parser_t::complete);
    EXPECT_EQ(parser.parse(second.data(), second.size(), consumed), parser_t::complete);
    EXPECT_EQ(consumed, 0u);
    parser.reset();
    EXPECT_EQ(parser.parse(second.data(), 7, consumed), parser_t::incomplete);
    parser.reset();  // in the middle of a token
    EXPECT_EQ(parser.parse(second.data(), second.size(), consumed), parser_t::complete);
    EXPECT_EQ(describe(parser_t::complete, parser), "C 200 OK 1.0");
    const std::string longest(65536 - 24, 'v');  // the whole head 64 KiB, blank lines included
    EXPECT_EQ(feed({"HTTP/1.1 200 OK\r\nX: " + longest + "\r\n\r\n"}).first, "C 200 OK 1.1 [X=" + longest + "]");
    EXPECT_EQ(feed({"HTTP/1.1 200 OK\r\nX: " + longest + "v\r\n\r\n"}).first, "X 200 OK 1.1 [X=" + longest + "v]");
    EXPECT_EQ(feed({"HTTP/1.1 200", std::string(65536, ' ')}),
              std::make_pair(std::string("X 200  1.1"), std::size_t(65536)));
}

}  // namespace
