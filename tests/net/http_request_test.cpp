// Request heads byte for byte, line breaks only where lines end; the header list.
#include "net/http_request.hpp"

#include <gtest/gtest.h>

namespace {

TEST(http_request, heads_byte_for_byte) {
    upd::http_request_t r;
    r.method = "GET";
    EXPECT_EQ(r.to_string(), "GET / HTTP/1.1\r\n\r\n");
    r.target = "http://h/v.lst", r.version_minor = 0;
    r.headers.add("Host", "h"), r.headers.add("X-Evil", "a\r\nInjected: 1\nb"), r.headers.add("Na\rme", "");
    EXPECT_EQ(r.to_string(), "GET http://h/v.lst HTTP/1.0\r\nHost: h\r\nX-Evil: a  Injected: 1 b\r\nNa me: \r\n\r\n");
    r.method = "CON\nNECT", r.target = "h:443\r\n";
    EXPECT_EQ(r.to_string().substr(0, 27), "CON NECT h:443   HTTP/1.0\r\n");
    upd::http_headers_t h;
    h.add("Accept", "*/*"), h.add("accept", "second"), h.add("Accept", "third");
    EXPECT_EQ(h.find("Accept") + h.find("accept") + h.find("ACCEPT"), "*/*second");
    h.append(h);
    std::string all;
    for (const auto& item : h) all += item.first + "=" + item.second + ";";
    EXPECT_EQ(all, "Accept=*/*;accept=second;Accept=third;Accept=*/*;accept=second;Accept=third;");
}

}  // namespace
