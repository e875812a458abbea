// HTTP/2 framing against a hostile server's raw frames, in memory: each flood or bomb ends the connection.
#include "net/server_failure.hpp"
#if TAVIK_HTTP2
#include "net/h2_session.hpp"

#include <gtest/gtest.h>

namespace {

std::string frame(char type, char flags, const std::string& payload, char stream = 1) {
    const auto n = payload.size();
    return std::string{char(n >> 16), char(n >> 8), char(n), type, flags, 0, 0, 0, stream} + payload;
}
std::string times(int n, const std::string& s) { return n ? s + times(n - 1, s) : ""; }

struct trace_t : upd::h2_session_t::listener_t {
    std::string seen;
    void on_head(std::int32_t, const upd::http_response_t& h) override { seen += std::to_string(h.status()); }
    void on_data(std::int32_t, const char*, std::size_t n) override { seen += "+" + std::to_string(n); }
    void on_closed(std::int32_t, std::uint32_t e) override { seen += " closed " + std::to_string(e); }
};

TEST(h2_session, every_flood_and_bomb_ends_the_connection) {
    // HPACK: status 200; a field of 4000 bytes kept in the table, and that entry (62) named again.
    const std::string settings = frame(4, 0, "", 0), ok = "\x88", again = "\xbe", small = "\x40\x01x\x01y";
    const std::string big = "\x40\x01x\x7f\xa1\x1e" + std::string(4000, 'b');
    const struct {
        const char* name;
        std::string bytes, expected;
    } rows[] = {
        {"sound_answer", settings + frame(1, 4, ok) + frame(0, 1, "abc"), "200+3 closed 0"},
        {"header_list_over_64_kib", settings + frame(1, 5, ok + big + times(16, again)), "response head too large"},
        {"over_100_fields", settings + frame(1, 5, ok + small + times(100, again)), "response head too large"},
        {"continuation_flood", settings + frame(1, 1, ok) + times(9, frame(9, 0, small)), "CONTINUATION flood"},
        {"settings_flood", times(100, settings), "SETTINGS or PING flood"},
        {"ping_flood", settings + times(100, frame(6, 0, std::string(8, 'p'), 0)), "SETTINGS or PING flood"},
        {"over_32_settings", frame(4, 0, times(33, std::string("\0\3\0\0\0\x64", 6)), 0),
         "protocol error (ENHANCE_YOUR_CALM)"},
        {"http1_after_alpn", "HTTP/1.1 200 OK\r\n\r\n", "protocol error (PROTOCOL_ERROR)"},
        {"frame_too_large", settings + frame(0, 0, std::string(16385, 'd')), "protocol error (FRAME_SIZE_ERROR)"},
    };
    for (const auto& r : rows) {
        trace_t trace;
        upd::h2_session_t session(trace);
        session.request("h", "/f", {});
        try {
            session.output();
            session.receive(r.bytes.data(), r.bytes.size());
            session.output();
        } catch (const upd::server_failure_t& e) {
            trace.seen = e.cause();
        }
        EXPECT_EQ(trace.seen, r.expected) << r.name;
    }
}

}  // namespace
#endif
