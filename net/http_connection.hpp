// One HTTP/1.1 exchange at a time over TCP or TLS, direct or through an HTTP proxy, with time-outs.
#pragma once

#include "net/http_body_reader.hpp"
#include "net/http_headers.hpp"
#include "net/http_response_parser.hpp"
#include "net/http_transport.hpp"
#include "net/proxy_auth.hpp"

#include <boost/optional.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal_type.hpp>

#include <exception>
#include <string>
#include <vector>

namespace upd {

// The request and its answer, step by step over an http_transport_t, whose connection serves the
// next request when the http_body_reader_t says so.
class http_connection_t {
public:
    template <class T>
    using signal_t = typename boost::signals2::signal_type<
        void(const T&), boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;
    using response_signal_t = signal_t<http_response_t>;
    using data_signal_t = signal_t<std::vector<char>>;

    // Emitted once per exchange with an accepted head (never for a 407 or a CONNECT reply).
    response_signal_t response_received;
    // Emitted with each run of body bytes; the vector is valid only during the call.
    data_signal_t data_received;

    http_connection_t(boost::asio::io_service& io_service, byte_counter_t& counter);
    http_connection_t(const http_connection_t&) = delete;
    http_connection_t& operator=(const http_connection_t&) = delete;
    virtual ~http_connection_t();

    void set_headers(const http_headers_t& headers) { extra_headers_ = headers; }
    // Whether connections are kept for the next request (the default) when the server keeps them.
    void set_keep_alive(bool keep_alive) { keep_alive_ = keep_alive; }
    void set_method(const std::string& method) { method_ = method; }
    void set_proxy(const tvk::Proxy& proxy) { proxy_ = proxy; }
    void set_timeout(std::chrono::steady_clock::duration timeout) { transport_.set_timeout(timeout); }
    void set_rate_limit(std::shared_ptr<rate_limit_t> limit) { transport_.set_rate_limit(std::move(limit)); }
    const std::shared_ptr<rate_limit_t>& rate_limit() const { return transport_.rate_limit(); }
    // TLS offers HTTP/2 beside HTTP/1.1; when the server chooses it, execute() returns once the
    // handshake is done, sends nothing, and release() hands the connection over.
    void set_offer_h2(bool offer) { transport_.set_offer_h2(offer); }
    // The next execute() only connects: done when the handshake is, whichever protocol was chosen.
    void set_connect_only(bool connect_only) { connect_only_ = connect_only; }
    bool h2_chosen() const { return h2_chosen_; }
    std::unique_ptr<http_transport_t::tls_stream_t> release() { return transport_.release(); }
    std::chrono::steady_clock::duration timeout() const { return transport_.timeout(); }
    const url_t& url() const { return url_; }

    // Prepares the transport for a URL: mode, name resolution, socket or TLS objects.
    void open(const url_t& url) {
        url_ = url;
        transport_.open(url, proxy_);
    }
    // One exchange with the current endpoint; blocks until the body has ended or throws. A body
    // ends after its Content-Length or its last chunk (ending sooner is a cut: server_failure_t),
    // or at the close when the head announces neither; from its first byte it must keep the pace
    // of progress_floor_t. The connection stays open for the next exchange with the same server
    // (for max_idle) when the server keeps it and its answer ended cleanly; a request that a kept
    // connection fails before any answer goes once more over a new one.
    void execute();
    // The next requests ask for the body from this byte on ("Range: bytes=N-"); 0 asks for all.
    void set_range(std::uint64_t from) { range_from_ = from; }
    // The most of the next bodies that their listener takes, which bounds their chunk framing.
    void set_body_limit(boost::optional<std::uint64_t> limit) { body_limit_ = limit; }
    // The body bytes that the last attempt received: when any, its server answered, and a cut is
    // the transfer's, not the address's.
    std::uint64_t body_received() const { return body_.received(); }
    // Where the accepted body starts in the whole file (a listener's 206), for the words of a cut.
    void set_body_offset(std::uint64_t offset) { body_.set_offset(offset); }
    // Drops the current endpoint after a network failure.
    void next_endpoint() { transport_.endpoints().pop(); }

    // Whether the last attempt's connection to the endpoint (the proxy, in the proxy modes) was made.
    bool reached_endpoint() const { return reached_; }
    bool through_proxy() const { return transport_.through_proxy(); }
    endpoint_queue_t& endpoint_queue() { return transport_.endpoints(); }
    // The proxy's Basic challenge, which the other connections of a run may answer at once
    // instead of each paying a challenge round trip; a Digest nonce counts one connection's
    // requests, so each meets its own.
    boost::optional<proxy_challenge_t> shared_proxy_challenge() const {
        return proxy_challenge_ && !proxy_challenge_->digest ? proxy_challenge_ : boost::none;
    }
    void set_proxy_challenge(const boost::optional<proxy_challenge_t>& challenge) { proxy_challenge_ = challenge; }

private:
    using error_code = boost::system::error_code;
    using step_t = void (http_connection_t::*)(const error_code&, std::size_t);

    void run_attempt();
    void finish_attempt();

    // The steps, in their order; each handler returns at once when cancelled or late.
    void on_connected(const error_code& ec);
    void on_tunnel_request_written(const error_code& ec, std::size_t n);
    void on_tunnel_reply_read(const error_code& ec, std::size_t n);
    void on_handshake(const error_code& ec);
    void send_request();
    void on_request_written(const error_code& ec, std::size_t n);
    void on_head_read(const error_code& ec, std::size_t n);
    void on_body_read(const error_code& ec, std::size_t n);

    http_transport_t::io_handler_t then(step_t step);
    bool proceeds(const char* op, const error_code& ec) const;
    bool head_complete();
    void take_challenge(const http_response_t& answer);
    void unwanted(std::exception_ptr failure);
    bool take_body();
    void finish_body();
    std::string build_request(const std::string& method);

    boost::asio::io_service& io_service_;
    http_transport_t transport_;
    url_t url_;
    std::string method_;
    http_headers_t extra_headers_;
    tvk::Proxy proxy_;
    boost::optional<proxy_challenge_t> proxy_challenge_;
    std::uint32_t nonce_count_ = 0;
    bool sent_credentials_ = false;  // with the request under way
    bool answer_again_ = false;      // its 407 is answered with a repeat
    bool keep_alive_ = true;
    std::uint64_t range_from_ = 0;
    boost::optional<std::uint64_t> body_limit_;
    bool done_ = true;  // the exchange has ended: late handlers return at once
    bool reached_ = false;
    bool reused_ = false;  // this attempt went over a kept connection
    bool connect_only_ = false;
    bool h2_chosen_ = false;
    bool handed_over_ = false;  // connected as asked: kept, sending nothing
    std::vector<char> receive_buffer_;
    http_response_parser_t parser_;
    http_body_reader_t body_;
    std::exception_ptr unwanted_;  // the failure of an answer read to its end
};

}  // namespace upd
