// The body reader: where framing ends a body, cuts, draining, keeping the connection.
#include "net/http_body_reader.hpp"

#include <gtest/gtest.h>

namespace {

// "C|I|X|O|F body" (complete, incomplete, invalid, overdrawn, framing too large), a cut's words,
// then clean and reusable.
std::string feed(const std::vector<std::string>& fields, const std::string& bytes, bool drain = false,
                 boost::optional<std::uint64_t> limit = boost::none) {
    upd::http_response_t head;
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2) head.mutable_headers().add(fields[i], fields[i + 1]);
    upd::http_body_reader_t body;
    body.start(head, true, limit);
    if (drain && !body.drain()) return "not drained";
    std::vector<char> data(bytes.begin(), bytes.end());
    const auto result = body.take(data);
    const std::string cut = result == upd::http_body_reader_t::incomplete ? " [" + body.close() + "]" : "";
    return "CIXOF"[result] + (" " + std::string(data.begin(), data.end())) + cut + " " + std::to_string(body.clean()) +
           std::to_string(body.reusable());
}

TEST(http_body_reader, framing) {
    const std::vector<std::string> chunked{"Transfer-Encoding", "chunked"};
    std::string padded;  // a byte of data per 200 bytes of framing
    for (int i = 0; i < 400; ++i) padded += "1;" + std::string(194, 'e') + "\r\na\r\n";
    EXPECT_EQ(feed({"Content-Length", "5"}, "helloNEXT"), "C hello 00");
    EXPECT_EQ(feed({"Content-Length", "0"}, ""), "C  11");
    EXPECT_EQ(feed({"Transfer-Encoding", "gzip, Chunked"}, "5\r\nhello\r\n0\r\n\r\n"), "C hello 11");
    EXPECT_EQ(feed({"Content-Length", "5", "Transfer-Encoding", "chunked"}, "5\r\nhello\r\n0\r\n\r\n"), "C hello 10");
    EXPECT_EQ(feed(chunked, "5\r\nhel"), "I hel [cut after 3 bytes] 00");
    EXPECT_EQ(feed({"Content-Length", "9"}, "1234"), "I 1234 [cut after 4 of 9 bytes] 00");
    EXPECT_EQ(feed({}, "up to the close"), "I up to the close [] 10");
    EXPECT_EQ(feed({"Content-Length", "65537"}, "", true), "not drained");
    EXPECT_EQ(feed(chunked, "10001\r\n" + std::string(65537, 'a'), true).substr(0, 1), "O");
    EXPECT_EQ(feed(chunked, padded, false, 8000).substr(0, 1), "I") << "within twice the limit and 64 KiB";
    EXPECT_EQ(feed(chunked, padded, false, 10).substr(0, 1), "F");
    EXPECT_EQ(feed(chunked, padded + padded + padded, true).substr(0, 1), "F") << "a drained body's limit is 64 KiB";
    EXPECT_EQ(feed(chunked, "1;" + std::string(256, 'e') + "\r\na\r\n", false, 400).substr(0, 1), "F");
}

}  // namespace
