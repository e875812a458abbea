// The way to the server of a URL: TCP or TLS, direct or through an HTTP proxy, with time-outs.
#pragma once

#include "net/byte_counter.hpp"
#include "net/endpoint_queue.hpp"
#include "net/progress_floor.hpp"
#include "net/rate_limit.hpp"
#include "net/url.hpp"
#include "proxy.pb.h"

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace upd {

// One connection at a time, to the server or to the proxy on the way: made anew for an attempt,
// or kept from the last exchange with the same peer. Its user starts each step; each counts its
// bytes and must complete within the time-out, and a body's bytes must keep the pace of
// progress_floor_t. A TLS connection offers the session of the last clean exchange with its
// server again. Handlers run on the io_service, and a time-out throws from there.
class http_transport_t {
public:
    using tcp_socket_t = boost::asio::ip::tcp::socket;
    using tls_stream_t = boost::asio::ssl::stream<tcp_socket_t>;
    using step_handler_t = std::function<void(const boost::system::error_code&)>;
    using io_handler_t = std::function<void(const boost::system::error_code&, std::size_t)>;
    enum mode_t { mode_unset = 0, mode_plain = 1, mode_tls = 2, mode_plain_proxy = 3, mode_tls_tunnel = 4 };

    // One reused read buffer. 64 KiB rather than a page: each read costs a system call and a
    // write to the target file, and smaller reads fall well behind other clients on large files.
    static constexpr std::size_t receive_buffer_size = 65536;
    // A kept connection idle for longer is not used again: servers drop idle connections, often
    // without a word, and a request sent into one would wait for a whole time-out.
    static constexpr std::chrono::seconds max_idle{5};

    http_transport_t(boost::asio::io_service& io_service, byte_counter_t& counter);
    http_transport_t(const http_transport_t&) = delete;
    http_transport_t& operator=(const http_transport_t&) = delete;

    void set_timeout(std::chrono::steady_clock::duration timeout) { timeout_ = timeout; }
    // The run's cap on received bytes; none: reads as fast as the server sends.
    void set_rate_limit(std::shared_ptr<rate_limit_t> limit) { limit_ = std::move(limit); }
    const std::shared_ptr<rate_limit_t>& rate_limit() const { return limit_; }
    // The mode (a proxy of type NONE: direct), the name resolution and the TLS context for a URL.
    void open(const url_t& url, const tvk::Proxy& proxy);
    mode_t mode() const { return mode_; }
    bool through_proxy() const { return mode_ == mode_plain_proxy || mode_ == mode_tls_tunnel; }
    endpoint_queue_t& endpoints() { return *endpoints_; }
    std::string describe() const { return endpoints_ ? endpoints_->describe() : "<empty>"; }

    // Starts an attempt with the current endpoint: true when the kept connection serves it (the
    // same peer, idle for at most max_idle); otherwise that one is closed and connect() follows.
    bool begin();
    void connect(step_handler_t handler);
    void handshake(step_handler_t handler);
    // Writes and reads go over TLS once its handshake has begun (before, in a tunnel: to the
    // proxy). A read fills `buffer` with what arrived; one of nothing is the end (eof).
    void write(std::string bytes, io_handler_t handler);
    void read(std::vector<char>& buffer, io_handler_t handler);
    // Counts body bytes against the floor, which starts with the first; `rest`: the body's, if known.
    void count_body(std::size_t n, boost::optional<std::uint64_t> rest);
    // The exchange ended with nothing after its answer: the TLS session is kept for the next
    // connection to the server, and closing does not count it as broken.
    void end_cleanly();
    // Ends the attempt: the connection is kept for the next one or closed; the timer is cancelled.
    void finish(bool keep);

    std::uint64_t received() const { return received_; }  // since begin()
    // "TLSv1.3", with ", session resumed" when the server took the session offered.
    std::string describe_tls();
    // Throws the failure of a step, with the system's text and the endpoint.
    [[noreturn]] void fail(const char* op, const boost::system::error_code& ec) const;

    // Whether TLS handshakes offer HTTP/2 beside HTTP/1.1 (ALPN); without, they name no protocol.
    void set_offer_h2(bool offer) { offer_h2_ = offer; }
    // Whether the server chose HTTP/2 in the handshake just made.
    bool h2_chosen() const;
    // Hands the connection over, its TLS handshake done, with this attempt's time-out stopped.
    std::unique_ptr<tls_stream_t> release();
    std::chrono::steady_clock::duration timeout() const { return timeout_; }

private:
    using session_t = std::unique_ptr<SSL_SESSION, void (*)(SSL_SESSION*)>;
    enum timeout_kind_t { connect_timeout, io_timeout };

    std::string peer() const;
    std::string session_key() const { return url_.host() + ":" + std::to_string(url_.port()); }
    bool tls() const { return mode_ == mode_tls || mode_ == mode_tls_tunnel; }
    tcp_socket_t& lowest_layer() { return tls_stream_ ? tls_stream_->next_layer() : *socket_; }
    void close();
    void arm_timer(timeout_kind_t kind);
    void wait();
    std::chrono::steady_clock::time_point wake_time() const;
    void on_timer(const boost::system::error_code& ec);
    void hold(std::chrono::steady_clock::time_point until, std::vector<char>& buffer, io_handler_t handler);
    void on_held(const boost::system::error_code& ec, std::vector<char>& buffer, const io_handler_t& handler);
    [[noreturn]] void fail_slow() const;

    boost::asio::io_service& io_service_;
    byte_counter_t& counter_;
    std::map<std::string, std::unique_ptr<endpoint_queue_t>> queues_;  // by server
    endpoint_queue_t* endpoints_ = nullptr;                            // of the URL opened
    mode_t mode_ = mode_unset;
    url_t url_;
    std::unique_ptr<tcp_socket_t> socket_;
    std::unique_ptr<boost::asio::ssl::context> tls_context_;
    std::unique_ptr<tls_stream_t> tls_stream_;
    bool secured_ = false;    // TLS speaks: its handshake has begun
    bool tls_clean_ = false;  // its TLS session ended an exchange as it should
    bool offer_h2_ = false;
    std::map<std::string, session_t> sessions_;  // by server
    std::string sending_;
    std::uint64_t received_ = 0;
    std::string peer_;      // of the connection in use
    std::string kept_for_;  // the peer of a kept connection; empty: none
    std::chrono::steady_clock::time_point kept_since_;
    boost::asio::steady_timer timer_;
    std::chrono::steady_clock::duration timeout_{0};
    // The running step's deadline; the timer only wakes up to compare it with the clock, so a
    // step that completes in time costs no timer system call.
    std::chrono::steady_clock::time_point deadline_;
    timeout_kind_t timeout_kind_ = connect_timeout;
    std::chrono::steady_clock::time_point counted_at_;  // body bytes counted since the last step began
    bool timer_waiting_ = false;
    bool active_ = false;  // between begin() and finish()
    progress_floor_t floor_;
    std::shared_ptr<rate_limit_t> limit_;
    // A read waits here while the run's own limit holds it back: that time is the client's, so
    // neither the silence time-out nor the progress floor counts it against the server.
    boost::asio::steady_timer held_timer_;
    std::chrono::steady_clock::time_point held_since_;
};

}  // namespace upd
