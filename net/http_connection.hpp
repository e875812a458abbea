// One HTTP/1.1 exchange at a time over TCP or TLS, direct or through an HTTP proxy, with time-outs.
#pragma once

#include "control/progress.hpp"
#include "net/http_chunked_parser.hpp"
#include "net/http_headers.hpp"
#include "net/http_request.hpp"
#include "net/http_response.hpp"
#include "net/http_response_parser.hpp"
#include "net/progress_floor.hpp"
#include "net/proxy_auth.hpp"
#include "net/url.hpp"
#include "proxy.pb.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/optional.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal_type.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace upd {

// The addresses that one name resolution returned, consumed from the front as they fail.
class endpoint_queue_t {
public:
    using endpoint_t = boost::asio::ip::tcp::endpoint;

    explicit endpoint_queue_t(boost::asio::io_service& io_service);

    // Resolves (host, service) unless it was the last query; then the queue is kept as it is.
    void resolve(const std::string& host, const std::string& service);
    // Takes the given endpoints as the result of the query (host, service) without resolving.
    void assign(const std::string& host, const std::string& service, std::deque<endpoint_t> endpoints);

    // The current endpoint; EC_NO_UPDATE_SERVERS when all have been used.
    const endpoint_t& front() const;
    void pop();
    bool empty() const { return endpoints_.empty(); }
    std::size_t size() const { return endpoints_.size(); }

    // "<empty>", or host:service followed by " [address]" of the current endpoint.
    std::string describe() const;

private:
    boost::asio::ip::tcp::resolver resolver_;
    bool queried_ = false;
    std::string host_;
    std::string service_;
    std::deque<endpoint_t> endpoints_;
};

class http_connection_t {
public:
    using response_signal_t = boost::signals2::signal_type<
        void(const http_response_t&),
        boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;
    using data_signal_t = boost::signals2::signal_type<
        void(const std::vector<char>&),
        boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;

    enum exchange_state_t { st_tunnel = 0, st_head = 1, st_body = 2, st_done = 3 };
    enum connection_mode_t {
        mode_unset = 0,
        mode_plain = 1,
        mode_tls = 2,
        mode_plain_proxy = 3,
        mode_tls_tunnel = 4
    };

    // One reused read buffer. 64 KiB rather than a page: each read costs a system call and a
    // write to the target file, and smaller reads fall well behind other clients on large files.
    static constexpr std::size_t receive_buffer_size = 65536;
    // A kept connection idle for longer is not used again: servers drop idle connections, often
    // without a word, and a request sent into one would wait for a whole time-out.
    static constexpr std::chrono::seconds max_idle{5};
    // The longest body of an unwanted answer that is read to its end to keep the connection.
    static constexpr std::uint64_t max_drained = 65536;

    // Emitted once per exchange with an accepted head (never for a 407 or a CONNECT reply).
    response_signal_t response_received;
    // Emitted with each run of body bytes; the vector is valid only during the call.
    data_signal_t data_received;

    http_connection_t(boost::asio::io_service& io_service, progress_t& progress);
    http_connection_t(const http_connection_t&) = delete;
    http_connection_t& operator=(const http_connection_t&) = delete;
    virtual ~http_connection_t();

    void add_header(const std::string& name, const std::string& value);
    void set_headers(const http_headers_t& headers);
    // Whether connections are kept for the next request (the default) when the server keeps them.
    void set_keep_alive(bool keep_alive) { keep_alive_ = keep_alive; }
    void set_method(const std::string& method);
    void set_proxy(const tvk::Proxy& proxy);
    void set_timeout(std::chrono::steady_clock::duration timeout);

    // Prepares the transport for a URL: mode, name resolution, socket or TLS objects.
    void open(const url_t& url);
    // One exchange with the current endpoint; blocks until the body has ended or throws. A body
    // ends after its Content-Length or its last chunk (ending sooner is a cut: server_failure_t),
    // or at the close when the head announces neither; from its first byte it must keep the pace
    // of progress_floor_t. The connection stays open for the next exchange with the same server
    // (for max_idle) when the server keeps it and its answer ended cleanly; a request that a kept
    // connection fails before any answer goes once more over a new one.
    void execute();
    // The next requests ask for the body from this byte on ("Range: bytes=N-"); 0 asks for all.
    void set_range(std::uint64_t from) { range_from_ = from; }
    // Where the accepted body starts in the whole file (a listener's 206), for the words of a cut.
    void set_body_offset(std::uint64_t offset) { body_offset_ = offset; }
    // Drops the current endpoint after a network failure.
    void next_endpoint();

    std::string describe_endpoint() const { return endpoint_queue_.describe(); }
    // Whether the last attempt's connection to the endpoint (the proxy, in the proxy modes) was made.
    bool reached_endpoint() const { return reached_; }
    bool through_proxy() const { return connection_mode_ == mode_plain_proxy || connection_mode_ == mode_tls_tunnel; }
    endpoint_queue_t& endpoint_queue() { return endpoint_queue_; }
    connection_mode_t connection_mode() const { return connection_mode_; }
    exchange_state_t exchange_state() const { return exchange_state_; }
    const http_request_t& request() const { return request_; }
    // The proxy's Basic challenge, which the other connections of a run may answer at once
    // instead of each paying a challenge round trip; a Digest nonce counts one connection's
    // requests, so each meets its own.
    boost::optional<proxy_challenge_t> shared_proxy_challenge() const {
        return proxy_challenge_ && !proxy_challenge_->digest ? proxy_challenge_ : boost::none;
    }
    void set_proxy_challenge(const boost::optional<proxy_challenge_t>& challenge) { proxy_challenge_ = challenge; }

private:
    using tcp_socket_t = boost::asio::ip::tcp::socket;
    using tls_stream_t = boost::asio::ssl::stream<tcp_socket_t>;
    enum timeout_kind_t { connect_timeout, io_timeout };

    void run_attempt();
    void finish_attempt();
    void close();

    void connect();
    void on_connected(const boost::system::error_code& ec);
    void on_connect_request_written(const boost::system::error_code& ec, std::size_t n);
    void on_request_written(const boost::system::error_code& ec, std::size_t n);
    void start_handshake();
    void on_handshake(const boost::system::error_code& ec);
    void send_request();
    void read_more();
    void on_read(const boost::system::error_code& ec, std::size_t n);
    void on_head_read();
    // Hands the receive buffer to the listeners as body; false once the body is complete.
    bool take_body();
    void finish_body(bool extra);
    void frame_body(const http_response_t& response);
    void unwanted(std::exception_ptr failure);
    std::string peer() const;
    std::string session_key() const;
    [[noreturn]] void fail_slow() const;
    std::chrono::steady_clock::time_point wake_time() const;

    void arm_timer(timeout_kind_t kind);
    void on_timer(const boost::system::error_code& ec);

    void build_request(const std::string& method);
    // False for a step cancelled or finishing after the exchange ended; throws when the step failed.
    bool proceeds(const char* op, const boost::system::error_code& ec) const;
    [[noreturn]] void fail(const char* op, const boost::system::error_code& ec) const;
    tcp_socket_t& lowest_layer();

    boost::asio::io_service& io_service_;
    progress_t& progress_;
    endpoint_queue_t endpoint_queue_;
    std::unique_ptr<tcp_socket_t> socket_;
    std::unique_ptr<boost::asio::ssl::context> tls_context_;
    std::unique_ptr<tls_stream_t> tls_stream_;
    boost::asio::steady_timer timer_;
    exchange_state_t exchange_state_ = st_done;
    connection_mode_t connection_mode_ = mode_unset;
    std::string request_text_;
    url_t url_;
    std::string method_;
    http_headers_t extra_headers_;
    http_request_t request_;
    tvk::Proxy proxy_;
    boost::optional<proxy_challenge_t> proxy_challenge_;
    std::uint32_t nonce_count_ = 0;
    bool sent_credentials_ = false;  // with the request under way
    bool answer_again_ = false;      // its 407 is answered with a repeat
    std::vector<char> receive_buffer_;
    http_response_parser_t parser_;
    std::chrono::steady_clock::duration timeout_{0};
    // The running step's deadline; the timer only wakes up to compare it with the clock, so a
    // step that completes in time costs no timer system call.
    std::chrono::steady_clock::time_point deadline_;
    timeout_kind_t timeout_kind_ = connect_timeout;
    bool timer_waiting_ = false;
    bool reached_ = false;
    std::uint64_t range_from_ = 0;
    boost::optional<std::uint64_t> body_length_;  // of the exchange's body, when announced
    std::uint64_t body_received_ = 0;
    std::uint64_t body_offset_ = 0;
    progress_floor_t floor_;
    http_chunked_parser_t chunked_;
    bool chunked_body_ = false;
    bool keep_alive_ = true;
    bool keeps_ = false;     // the server keeps the connection after this answer
    bool reusable_ = false;  // and its body ended cleanly
    bool reused_ = false;    // this attempt went over a kept connection
    bool tls_clean_ = false; // its TLS session ended an exchange as it should
    std::uint64_t response_bytes_ = 0;
    std::uint64_t drained_ = 0;
    std::exception_ptr unwanted_;  // the failure of an answer read to its end
    std::string peer_;             // of the transport in use
    std::string kept_for_;         // the peer of a kept transport; empty: none
    std::chrono::steady_clock::time_point kept_since_;
    std::map<std::string, SSL_SESSION*> sessions_;  // owned; by server
};

}  // namespace upd
