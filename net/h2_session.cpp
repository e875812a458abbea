// HTTP/2 framing of one client connection: bytes in, bytes out, answers per stream (no I/O).
#include "net/h2_session.hpp"

#include "framework/error_code.hpp"
#include "net/server_failure.hpp"

#include <nghttp2/nghttp2.h>

#include <climits>
#include <cstdlib>
#include <new>
#include <vector>

namespace upd {

namespace {

// The SETTINGS and PING answers a server may leave owed before it counts as a flood: a legitimate
// one waits for each answer, and one read brings at most a few.
constexpr std::size_t max_owed_acks = 64;
constexpr std::size_t max_settings = 32;  // entries of one SETTINGS frame

[[noreturn]] void fail(const std::string& cause) {
    throw server_failure_t(tvk::EC_NETWORK_ERROR, "HTTP/2: " + cause, cause);
}

nghttp2_nv field(const std::string& name, const std::string& value) {
    return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
            reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
            NGHTTP2_NV_FLAG_NONE};
}

}  // namespace

// The library's callbacks, each forwarding to the session given as user data.
struct h2_session_t::callbacks_t {
    static h2_session_t& of(void* self) { return *static_cast<h2_session_t*>(self); }

    static int on_begin_headers(nghttp2_session*, const nghttp2_frame*, void* self) {
        h2_session_t& s = of(self);
        s.head_ = http_response_t();
        s.head_.set_version(2, 0);
        s.head_size_ = 0;
        return 0;
    }

    static int on_header(nghttp2_session*, const nghttp2_frame*, const std::uint8_t* name, std::size_t namelen,
                         const std::uint8_t* value, std::size_t valuelen, std::uint8_t, void* self) {
        h2_session_t& s = of(self);
        // As HTTP/2 counts a header list: each field with 32 bytes of its own.
        s.head_size_ += namelen + valuelen + 32;
        if (s.head_size_ > max_header_list || s.head_.headers().size() >= max_headers) {
            s.failure_ = "response head too large";
            return NGHTTP2_ERR_CALLBACK_FAILURE;
        }
        const std::string n(reinterpret_cast<const char*>(name), namelen);
        const std::string v(reinterpret_cast<const char*>(value), valuelen);
        if (n == ":status")
            s.head_.set_status(std::atoi(v.c_str()));  // the library has checked its three digits
        else if (n[0] != ':')
            s.head_.mutable_headers().add(n, v);
        return 0;
    }

    static int on_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* self) {
        h2_session_t& s = of(self);
        if (frame->hd.type == NGHTTP2_GOAWAY) s.going_away_ = true;
        // A final answer's head; informational ones (1xx) and trailers are passed over.
        if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_RESPONSE && s.head_.status() >= 200)
            s.listener_.on_head(frame->hd.stream_id, s.head_);
        return 0;
    }

    static int on_data_chunk(nghttp2_session*, std::uint8_t, std::int32_t stream, const std::uint8_t* data,
                             std::size_t len, void* self) {
        of(self).listener_.on_data(stream, reinterpret_cast<const char*>(data), len);
        return 0;
    }

    // The library ends a connection the server broke (bytes that are no HTTP/2, a frame too
    // large, ...) by sending GOAWAY with the error: that is the server's failure, not a close.
    static int on_frame_send(nghttp2_session*, const nghttp2_frame* frame, void* self) {
        h2_session_t& s = of(self);
        if (frame->hd.type == NGHTTP2_GOAWAY && frame->goaway.error_code != NGHTTP2_NO_ERROR && s.failure_.empty())
            s.failure_ = std::string("protocol error (") + nghttp2_http2_strerror(frame->goaway.error_code) + ")";
        return 0;
    }

    static int on_stream_close(nghttp2_session*, std::int32_t stream, std::uint32_t error, void* self) {
        h2_session_t& s = of(self);
        --s.open_;
        s.listener_.on_closed(stream, error);
        return 0;
    }
};

h2_session_t::h2_session_t(listener_t& listener) : listener_(listener), session_(nullptr, nghttp2_session_del) {
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_option* option = nullptr;
    if (nghttp2_session_callbacks_new(&callbacks) != 0 || nghttp2_option_new(&option) != 0) throw std::bad_alloc();
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, callbacks_t::on_begin_headers);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, callbacks_t::on_header);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, callbacks_t::on_frame_recv);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, callbacks_t::on_data_chunk);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, callbacks_t::on_stream_close);
    nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, callbacks_t::on_frame_send);
    nghttp2_option_set_max_outbound_ack(option, max_owed_acks);
    nghttp2_option_set_max_settings(option, max_settings);
    // The library counts the CONTINUATION frames of a head (no callback sees them).
    nghttp2_option_set_max_continuations(option, max_continuations);
    nghttp2_option_set_max_reserved_remote_streams(option, 0);
    nghttp2_option_set_peer_max_concurrent_streams(option, max_streams);
    nghttp2_session* session = nullptr;
    const int made = nghttp2_session_client_new2(&session, callbacks, this, option);
    nghttp2_session_callbacks_del(callbacks);
    nghttp2_option_del(option);
    if (made != 0) throw std::bad_alloc();
    session_.reset(session);
    const nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
                                               {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 0},
                                               {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, stream_window},
                                               {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, max_header_list}};
    // Sent at the start, so that no round trip waits for a window to open.
    if (nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, settings, sizeof settings / sizeof settings[0]) != 0 ||
        nghttp2_session_set_local_window_size(session, NGHTTP2_FLAG_NONE, 0, connection_window) != 0)
        throw std::bad_alloc();
}

h2_session_t::~h2_session_t() = default;

std::int32_t h2_session_t::request(const std::string& authority, const std::string& path,
                                   const http_headers_t& headers) {
    static const std::string method = ":method", get = "GET", scheme = ":scheme", https = "https",
                             authority_name = ":authority", path_name = ":path";
    std::vector<std::string> lower;  // HTTP/2 field names are in lower case
    lower.reserve(headers.size());
    std::vector<nghttp2_nv> fields{field(method, get), field(scheme, https), field(authority_name, authority),
                                   field(path_name, path)};
    for (const auto& h : headers) {
        lower.push_back(h.first);
        for (char& c : lower.back()) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (lower.back() == "connection" || lower.back() == "host") continue;  // not HTTP/2's
        fields.push_back(field(lower.back(), h.second));
    }
    // Each request depends on the one before: a server that honours it sends the answers in the
    // order asked, so that the first files are whole (and unpacked) while the later ones arrive,
    // rather than all of them at the end, side by side.
    nghttp2_priority_spec after;
    nghttp2_priority_spec_init(&after, last_, NGHTTP2_DEFAULT_WEIGHT, 0);
    const std::int32_t stream =
        nghttp2_submit_request(session_.get(), &after, fields.data(), fields.size(), nullptr, nullptr);
    if (stream < 0) fail(std::string("request refused: ") + nghttp2_strerror(stream));
    ++open_;
    return last_ = stream;
}

void h2_session_t::cancel(std::int32_t stream) {
    nghttp2_submit_rst_stream(session_.get(), NGHTTP2_FLAG_NONE, stream, NGHTTP2_CANCEL);
}

void h2_session_t::receive(const char* data, std::size_t size) {
    const auto n = nghttp2_session_mem_recv(session_.get(), reinterpret_cast<const std::uint8_t*>(data), size);
    if (n == NGHTTP2_ERR_FLOODED) fail("SETTINGS or PING flood");
    if (n == NGHTTP2_ERR_TOO_MANY_CONTINUATIONS) fail("CONTINUATION flood");
    if (n == NGHTTP2_ERR_CALLBACK_FAILURE && !failure_.empty()) fail(failure_);
    if (n < 0) fail(std::string("protocol error (") + nghttp2_strerror(static_cast<int>(n)) + ")");
}

std::string h2_session_t::output() {
    std::string out;
    // Bounded: a write of its own takes the rest.
    while (out.size() < 65536) {
        const std::uint8_t* data = nullptr;
        const auto n = nghttp2_session_mem_send(session_.get(), &data);
        if (n < 0) fail(std::string("protocol error (") + nghttp2_strerror(static_cast<int>(n)) + ")");
        if (!failure_.empty()) fail(failure_);  // told of the GOAWAY sent by the call after it
        if (n == 0) break;
        out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
    }
    return out;
}

bool h2_session_t::alive() const {
    return nghttp2_session_want_read(session_.get()) || nghttp2_session_want_write(session_.get());
}

std::size_t h2_session_t::stream_limit() const {
    const std::uint32_t server =
        nghttp2_session_get_remote_settings(session_.get(), NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS);
    return server < max_streams ? server : max_streams;
}

}  // namespace upd
