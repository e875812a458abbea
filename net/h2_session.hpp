// HTTP/2 framing of one client connection: bytes in, bytes out, answers per stream (no I/O).
#pragma once

#include "net/http_headers.hpp"
#include "net/http_response.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct nghttp2_session;

namespace upd {

// nghttp2's session with the limits a hostile server meets: windows open wide at the start, no
// push, a bound on each decoded header list (the HTTP/1.1 head's), on CONTINUATION frames and on
// the SETTINGS and PING answers owed. What the connection reads goes to receive(), and what
// output() returns is written. A broken connection throws server_failure_t with its cause.
class h2_session_t {
public:
    // Told of each stream's answer, on the thread that feeds the session.
    class listener_t {
    public:
        virtual void on_head(std::int32_t stream, const http_response_t& head) = 0;
        virtual void on_data(std::int32_t stream, const char* data, std::size_t size) = 0;
        // The stream ended: `error` 0 when its answer is complete, else the HTTP/2 error code
        // (REFUSED_STREAM for one the server never began, which includes those above a GOAWAY).
        virtual void on_closed(std::int32_t stream, std::uint32_t error) = 0;

    protected:
        ~listener_t() = default;
    };

    static constexpr std::uint32_t stream_window = 1u << 20;    // 1 MiB
    static constexpr std::int32_t connection_window = 1 << 24;  // 16 MiB
    static constexpr std::size_t max_header_list = 65536;       // as an HTTP/1.1 head
    static constexpr std::size_t max_headers = 100;
    static constexpr std::uint32_t max_streams = 128;
    static constexpr unsigned max_continuations = 8;

    explicit h2_session_t(listener_t& listener);
    h2_session_t(const h2_session_t&) = delete;
    h2_session_t& operator=(const h2_session_t&) = delete;
    ~h2_session_t();

    // A GET of `path` at `authority`; returns the stream.
    std::int32_t request(const std::string& authority, const std::string& path, const http_headers_t& headers);
    // Ends a stream this side no longer wants (CANCEL).
    void cancel(std::int32_t stream);
    void receive(const char* data, std::size_t size);
    // What is to be written next; empty when nothing is.
    std::string output();
    // Whether the connection still serves: neither side has ended it.
    bool alive() const;
    // The streams open now, and how many the server lets be open at once (at most max_streams).
    std::size_t open_streams() const { return open_; }
    std::size_t stream_limit() const;
    // The server sent GOAWAY: no new stream may start.
    bool going_away() const { return going_away_; }

private:
    struct callbacks_t;

    listener_t& listener_;
    std::unique_ptr<nghttp2_session, void (*)(nghttp2_session*)> session_;
    std::size_t open_ = 0;
    std::int32_t last_ = 0;  // the stream asked last, which the next one depends on
    bool going_away_ = false;
    // The head being decoded, and its size as HTTP/2 counts it.
    http_response_t head_;
    std::size_t head_size_ = 0;
    std::string failure_;  // why a callback ended the connection
};

}  // namespace upd
