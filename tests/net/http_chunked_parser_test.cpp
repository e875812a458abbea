// Chunked bodies: whole, split anywhere and byte by byte; bounds.
#include "net/http_chunked_parser.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using chunked_t = upd::http_chunked_parser_t;

// "C|I|X|L data" (complete, incomplete, invalid, overlong), and the bytes taken to the end.
std::string feed_chunked(const std::vector<std::string>& pieces) {
    chunked_t parser;
    std::string data;
    std::size_t taken = 0;
    auto result = chunked_t::incomplete;
    for (std::string piece : pieces) {
        std::size_t consumed = 0, produced = 0;
        result = parser.decode(&piece[0], piece.size(), consumed, produced);
        data += piece.substr(0, produced), taken += consumed;
        if (result != chunked_t::incomplete) break;
    }
    return std::string(1, "CIXL"[result]) + " " + data +
           (result == chunked_t::complete ? " @" + std::to_string(taken) : "");
}

TEST(http_chunked_parser, whole_split_and_byte_by_byte) {
    const std::pair<std::string, std::string> rows[] = {
        {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\nNEXT", "C hello world @26"},
        {"A;name=\"v\"\r\n0123456789\r\n0;x\r\nTrailer: 1\r\nMore: 2\r\n\r\n", "C 0123456789 @52"},
        {"00003\r\nabc\r\n000\r\n\r\n", "C abc @19"},
        {"0\r\n\r\n", "C  @5"},
        {"1\r\na\r\n", "I a"},
        {"3\r\nab", "I ab"},
        {"g\r\n", "X "},
        {"\r\n", "X "},
        {"3\nabc\r\n", "X "},
        {"3\r\nabcd\r\n", "X abc"},
        {"3\r\nabc\r0\r\n\r\n", "X abc"},
        {"0\r\nTrailer\n\r\n", "X "},
        {"1000000000000000\r\n", "X "},
        {"3 ;x\r\nabc\r\n0\r\n\r\n", "C abc @16"},
        {"3;" + std::string(255, 'e') + "\r\nabc\r\n0\r\n\r\n", "C abc @269"},
        {"3;" + std::string(256, 'e') + "\r\nabc\r\n", "L "},
        {"0\r\n" + std::string(70000, 't') + "\r\n\r\n", "X "},
    };
    for (const auto& [bytes, expected] : rows) {
        SCOPED_TRACE(bytes.substr(0, 60));
        EXPECT_EQ(feed_chunked({bytes}), expected);
        for (std::size_t k = 0; k <= bytes.size(); k += bytes.size() > 200 ? 997 : 1)
            EXPECT_EQ(feed_chunked({bytes.substr(0, k), bytes.substr(k)}), expected) << "split at " << k;
        std::vector<std::string> bytewise;
        for (char c : bytes) bytewise.push_back(std::string(1, c));
        EXPECT_TRUE(bytes.size() >= 200 || feed_chunked(bytewise) == expected);
    }
}

}  // namespace
