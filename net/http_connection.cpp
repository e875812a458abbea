// One HTTP/1.1 exchange at a time over TCP or TLS, direct or through an HTTP proxy, with time-outs.
#include "net/http_connection.hpp"

#include "framework/cf_log.hpp"
#include "framework/cf_proto_exception.hpp"
#include "framework/error_code.hpp"
#include "net/http_fields.hpp"
#include "net/proxy_auth.hpp"
#include "net/server_failure.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>


namespace upd {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

bool is_aborted(const error_code& ec) { return ec == asio::error::operation_aborted; }

// now + timeout without overflowing the clock in either direction.
std::chrono::steady_clock::time_point saturated_deadline(std::chrono::steady_clock::duration timeout) {
    using clock = std::chrono::steady_clock;
    const clock::time_point now = clock::now();
    if (timeout > clock::duration::zero() && now > clock::time_point::max() - timeout) {
        return clock::time_point::max();
    }
    if (timeout < clock::duration::zero() && now < clock::time_point::min() - timeout) {
        return clock::time_point::min();
    }
    return now + timeout;
}

bool is_ip_literal(const std::string& host) {
    error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

// The words of a Warning for a failed step: the system's own text, never the server's.
std::string cause_of(const error_code& ec) {
    if (ec == asio::error::eof) return "connection closed";
    std::string text = ec.message();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

std::string seconds_text(std::chrono::steady_clock::duration d) {
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return std::to_string(ms < 1000 ? 1 : (ms + 999) / 1000) + " s";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// endpoint_queue_t

endpoint_queue_t::endpoint_queue_t(asio::io_service& io_service) : resolver_(io_service) {}

void endpoint_queue_t::resolve(const std::string& host, const std::string& service) {
    if (queried_ && host == host_ && service == service_) {
        return;
    }
    queried_ = true;
    host_ = host;
    service_ = service;
    endpoints_.clear();
    error_code ec;
    const asio::ip::tcp::resolver::query query(host, service);
    const auto results = resolver_.resolve(query, ec);
    if (ec) {
        throw server_failure_t(tvk::EC_NETWORK_ERROR, "Cannot resolve: " + ec.message() + ": " + describe(),
                               "cannot resolve the name: " + cause_of(ec));
    }
    for (const auto& entry : results) {
        endpoints_.push_back(entry.endpoint());
    }
}

void endpoint_queue_t::assign(const std::string& host, const std::string& service,
                              std::deque<endpoint_t> endpoints) {
    queried_ = true;
    host_ = host;
    service_ = service;
    endpoints_ = std::move(endpoints);
}

const endpoint_queue_t::endpoint_t& endpoint_queue_t::front() const {
    if (endpoints_.empty()) {
        LOG_DEBUG("All resolved endpoints have been used: " << describe());
        throw server_failure_t(tvk::EC_NO_UPDATE_SERVERS, error_code_text(tvk::EC_NO_UPDATE_SERVERS), "no address left to try");
    }
    return endpoints_.front();
}

void endpoint_queue_t::pop() {
    if (!endpoints_.empty()) {
        endpoints_.pop_front();
    }
}

std::string endpoint_queue_t::describe() const {
    if (!queried_) {
        return "<empty>";
    }
    std::string text = host_ + ":" + service_;
    if (!endpoints_.empty()) {
        text += " [" + endpoints_.front().address().to_string() + "]";
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// http_connection_t: configuration

http_connection_t::http_connection_t(asio::io_service& io_service, progress_t& progress)
    : io_service_(io_service), progress_(progress), endpoint_queue_(io_service), timer_(io_service) {
    proxy_.set_type(tvk::Proxy::PROXY_TYPE_NONE);
}

http_connection_t::~http_connection_t() {
    // Handlers still queued refer to this object: let them see the cancellation now.
    reusable_ = false;
    finish_attempt();
    for (const auto& s : sessions_) SSL_SESSION_free(s.second);
}

void http_connection_t::add_header(const std::string& name, const std::string& value) {
    extra_headers_.add(name, value);
}

void http_connection_t::set_headers(const http_headers_t& headers) { extra_headers_ = headers; }

void http_connection_t::set_method(const std::string& method) { method_ = method; }

void http_connection_t::set_proxy(const tvk::Proxy& proxy) { proxy_ = proxy; }

void http_connection_t::set_timeout(std::chrono::steady_clock::duration timeout) { timeout_ = timeout; }

void http_connection_t::open(const url_t& url) {
    url_ = url;
    const bool http = boost::algorithm::iequals(url_.scheme(), "http");
    const bool https = !http && boost::algorithm::iequals(url_.scheme(), "https");
    if (!http && !https) {
        LOG_ERROR("Unsupported protocol " << url_.scheme());
        throw server_failure_t(tvk::EC_UNEXPECTED_ERROR, "Unsupported protocol", "unsupported scheme");
    }

    switch (proxy_.type()) {
    case tvk::Proxy::PROXY_TYPE_NONE:
        connection_mode_ = http ? mode_plain : mode_tls;
        break;
    case tvk::Proxy::PROXY_TYPE_HTTP:
        connection_mode_ = http ? mode_plain_proxy : mode_tls_tunnel;
        break;
    default: {
        const int type = proxy_.type();
        LOG_ERROR("Unsupported proxy " << (tvk::Proxy::Type_IsValid(type)
                                               ? tvk::Proxy::Type_Name(proxy_.type())
                                               : std::to_string(type)));
        throw tvk::EC_BAD_CONFIG;
    }
    }

    if (connection_mode_ == mode_plain || connection_mode_ == mode_tls) {
        std::uint16_t port = url_.port();
        if (port == 0) {
            port = connection_mode_ == mode_plain ? 80 : 443;
        }
        endpoint_queue_.resolve(url_.host(), std::to_string(port));
    } else {
        const std::uint16_t port = static_cast<std::uint16_t>(proxy_.port() & 0xFFFFu);
        try {
            endpoint_queue_.resolve(proxy_.host(), std::to_string(port));
        } catch (const std::exception&) {
            LOG_ERROR("Cannot resolve proxy address: " << proxy_.host() << ":" << port);
            throw;
        }
    }

    if ((connection_mode_ == mode_tls || connection_mode_ == mode_tls_tunnel) && !tls_context_) {
        // The server certificate is not verified: downloads are trusted by their signatures and
        // digests, not by the transport. One context for the connection's life, so that the
        // sessions of its servers can be offered again.
        tls_context_.reset(new asio::ssl::context(asio::ssl::context::sslv23_client));
        tls_context_->set_options(asio::ssl::context::no_compression);
    }
}

void http_connection_t::next_endpoint() { endpoint_queue_.pop(); }

// ---------------------------------------------------------------------------------------------
// http_connection_t: one exchange

void http_connection_t::execute() {
    bool fresh_again = false;
    for (int answers = 0;;) {
        try {
            run_attempt();
            return;
        } catch (const std::exception& e) {
            const bool unanswered_on_kept = reused_ && response_bytes_ == 0;
            finish_attempt();
            // A kept connection that the server closed in the meantime fails before any answer:
            // the request goes once more over a new one, and the server has not failed.
            if (unanswered_on_kept && !fresh_again) {
                LOG_DEBUG("Kept connection: " << exception_text(e) << "; once more over a new one");
                fresh_again = true;
                continue;
            }
            // A challenge answered afresh (the first, or a Digest nonce gone stale) is repeated,
            // a few times at most; refused credentials are not.
            if (answer_again_ && ++answers <= 3 && to_error_code(error_code_of(e)) == tvk::EC_PROXY_AUTH_ERROR) continue;
            throw;
        } catch (...) {
            finish_attempt();
            throw;
        }
    }
}

std::string http_connection_t::peer() const {
    const endpoint_queue_t::endpoint_t& endpoint = endpoint_queue_.front();
    std::string key = std::to_string(connection_mode_) + " " + endpoint.address().to_string() + " " + std::to_string(endpoint.port());
    // Through a proxy in the plain mode any server's request may follow; a TLS connection (and a
    // tunnel) was made for one server name.
    if (connection_mode_ != mode_plain_proxy) key += " " + url_.host() + " " + std::to_string(url_.port());
    return key;
}

void http_connection_t::run_attempt() {
    exchange_state_ = st_tunnel;
    reached_ = false;
    body_length_ = boost::none;
    body_received_ = 0;
    body_offset_ = 0;
    floor_ = progress_floor_t();
    chunked_.reset();
    chunked_body_ = keeps_ = reusable_ = answer_again_ = false;
    response_bytes_ = drained_ = 0;
    unwanted_ = nullptr;
    boost::this_thread::interruption_point();
    const std::string peer_now = peer();
    reused_ = kept_for_ == peer_now && std::chrono::steady_clock::now() - kept_since_ <= max_idle;
    kept_for_.clear();
    if (reused_) {
        LOG_DEBUG("Connection kept: " << describe_endpoint());
        reached_ = true;
        tls_clean_ = false;
        send_request();
    } else {
        close();  // a kept one (clean) that is too old or leads elsewhere, or none
        tls_clean_ = false;
        connect();
    }
    peer_ = peer_now;
    io_service_.restart();
    // restart() clears a stop() made by a shutting-down worker; it interrupts before it stops,
    // so checking again here means a stop can never be lost and leave run() waiting.
    boost::this_thread::interruption_point();
    io_service_.run();
    boost::this_thread::interruption_point();
    finish_attempt();
    if (unwanted_) std::rethrow_exception(unwanted_);
}

// Keeps the transport when the exchange ended cleanly on a connection the server keeps, closes
// it otherwise, cancels the timer and lets every queued handler of this attempt run (they all
// return at once in state st_done), so nothing of it leaks into the next attempt.
void http_connection_t::finish_attempt() {
    exchange_state_ = st_done;
    if (reusable_ && keep_alive_) {
        kept_for_ = peer_;
        kept_since_ = std::chrono::steady_clock::now();
    } else {
        kept_for_.clear();
        close();
        tls_clean_ = false;
    }
    error_code ignored;
    timer_.cancel(ignored);
    timer_waiting_ = false;
    io_service_.restart();
    for (;;) {
        try {
            if (io_service_.poll() == 0) {
                break;
            }
        } catch (...) {
        }
    }
    timer_waiting_ = false;
}

void http_connection_t::close() {
    if (!socket_ && !tls_stream_) {
        return;
    }
    // No close-notify is sent; OpenSSL would then count the session as broken and never offer
    // it again, though the last exchange ended as it should.
    if (tls_stream_ && tls_clean_) SSL_set_shutdown(tls_stream_->native_handle(), SSL_SENT_SHUTDOWN);
    error_code ignored;
    tcp_socket_t& socket = lowest_layer();
    socket.shutdown(tcp_socket_t::shutdown_both, ignored);
    socket.close(ignored);
}

http_connection_t::tcp_socket_t& http_connection_t::lowest_layer() {
    if (tls_stream_) {
        return tls_stream_->next_layer();
    }
    return *socket_;
}

void http_connection_t::connect() {
    const endpoint_queue_t::endpoint_t endpoint = endpoint_queue_.front();
    tls_stream_.reset();
    socket_.reset();
    if (connection_mode_ == mode_tls || connection_mode_ == mode_tls_tunnel) {
        // A fresh stream per connection: an OpenSSL session that failed a handshake cannot be
        // reused. The session of the last exchange with this server is offered, to save a round trip.
        tls_stream_.reset(new tls_stream_t(io_service_, *tls_context_));
        if (!url_.host().empty() && !is_ip_literal(url_.host())) {
            SSL_set_tlsext_host_name(tls_stream_->native_handle(), url_.host().c_str());
        }
        const auto session = sessions_.find(session_key());
        if (session != sessions_.end()) SSL_set_session(tls_stream_->native_handle(), session->second);
    } else {
        socket_.reset(new tcp_socket_t(io_service_));
    }
    lowest_layer().async_connect(endpoint, [this](const error_code& ec) { on_connected(ec); });
    arm_timer(connect_timeout);
}

void http_connection_t::on_connected(const error_code& ec) {
    if (!proceeds("Connect", ec)) return;
    reached_ = true;
    LOG_DEBUG("Connected " << describe_endpoint());
    arm_timer(io_timeout);
    switch (connection_mode_) {
    case mode_plain:
    case mode_plain_proxy:
        send_request();
        break;
    case mode_tls_tunnel:
        parser_.reset();
        build_request("CONNECT");
        asio::async_write(tls_stream_->next_layer(), asio::buffer(request_text_),
                          [this](const error_code& e, std::size_t n) {
                              on_connect_request_written(e, n);
                          });
        break;
    case mode_tls:
        start_handshake();
        break;
    case mode_unset:
        throw tvk::EC_UNEXPECTED_ERROR;
    }
}

void http_connection_t::on_connect_request_written(const error_code& ec, std::size_t n) {
    progress_.add_sent(static_cast<std::uint32_t>(n));
    if (!proceeds("Send", ec)) return;
    request_text_.clear();
    read_more();
}

void http_connection_t::on_request_written(const error_code& ec, std::size_t n) {
    progress_.add_sent(static_cast<std::uint32_t>(n));
    if (!proceeds("Send", ec)) return;
    request_text_.clear();
    exchange_state_ = st_head;
    read_more();
}

void http_connection_t::start_handshake() {
    tls_stream_->async_handshake(asio::ssl::stream_base::client,
                                 [this](const error_code& ec) { on_handshake(ec); });
    arm_timer(io_timeout);
}

void http_connection_t::on_handshake(const error_code& ec) {
    if (!proceeds("SSL handshake", ec)) return;
    LOG_DEBUG("TLS: " << SSL_get_version(tls_stream_->native_handle()) << (SSL_session_reused(tls_stream_->native_handle()) ? ", session resumed" : ""));
    send_request();
}

void http_connection_t::send_request() {
    arm_timer(io_timeout);
    parser_.reset();
    build_request(method_);
    auto handler = [this](const error_code& e, std::size_t n) { on_request_written(e, n); };
    if (socket_) {
        asio::async_write(*socket_, asio::buffer(request_text_), handler);
    } else {
        asio::async_write(*tls_stream_, asio::buffer(request_text_), handler);
    }
}

void http_connection_t::read_more() {
    arm_timer(io_timeout);
    receive_buffer_.resize(receive_buffer_size);
    auto handler = [this](const error_code& ec, std::size_t n) { on_read(ec, n); };
    if (socket_) {
        socket_->async_read_some(asio::buffer(receive_buffer_), handler);
    } else if (exchange_state_ == st_tunnel) {
        tls_stream_->next_layer().async_read_some(asio::buffer(receive_buffer_), handler);
    } else {
        tls_stream_->async_read_some(asio::buffer(receive_buffer_), handler);
    }
}

void http_connection_t::on_read(const error_code& ec, std::size_t n) {
    progress_.add_received(static_cast<std::uint32_t>(n));
    if (is_aborted(ec) || exchange_state_ == st_done) {
        return;
    }
    if (exchange_state_ != st_tunnel) response_bytes_ += n;
    if (exchange_state_ == st_body && n == 0 &&
        (!ec || ec == asio::error::eof || ec == asio::ssl::error::stream_truncated)) {
        // A body of announced length, or chunked, that ends before its end is cut, not complete.
        if ((body_length_ && body_received_ < *body_length_) || chunked_body_) {
            const std::string cut = "cut after " + std::to_string(body_offset_ + body_received_) +
                                    (body_length_ ? " of " + std::to_string(body_offset_ + *body_length_) : std::string()) + " bytes";
            throw server_failure_t(tvk::EC_NETWORK_ERROR, "Receive: " + cut + ": " + describe_endpoint(), cut);
        }
        finish_body(false);
        return;
    }
    if (ec) {
        fail("Receive", ec);
    }
    if (n == 0) {
        fail("Receive", asio::error::eof);
    }

    receive_buffer_.resize(n);
    if (exchange_state_ == st_tunnel || exchange_state_ == st_head) {
        std::size_t consumed = 0;
        const auto result = parser_.parse(receive_buffer_.data(), receive_buffer_.size(), consumed);
        receive_buffer_.erase(receive_buffer_.begin(),
                              receive_buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
        if (result == http_response_parser_t::invalid) {
            throw server_failure_t(tvk::EC_NETWORK_ERROR, "Invalid HTTP response header: " + describe_endpoint(),
                                   "invalid response head");
        }
        if (result == http_response_parser_t::complete) {
            on_head_read();
            if (exchange_state_ == st_tunnel) {
                // Whatever follows the proxy's reply is not the server's: TLS speaks next.
                receive_buffer_.clear();
                start_handshake();
                return;
            }
            exchange_state_ = st_body;
            if (body_length_ && *body_length_ == 0) return finish_body(!receive_buffer_.empty());
        }
    }
    if (!receive_buffer_.empty() && !take_body()) return;
    read_more();
}

bool http_connection_t::take_body() {
    const auto now = std::chrono::steady_clock::now();
    if (!floor_.started()) {
        floor_.start(now, timeout_, body_length_ ? boost::make_optional(*body_length_ - body_received_) : boost::none);
    }
    if (!floor_.add(receive_buffer_.size(), now)) fail_slow();
    bool ended = false, extra = false;
    if (chunked_body_) {
        std::size_t consumed = 0, produced = 0;
        const auto result = chunked_.decode(receive_buffer_.data(), receive_buffer_.size(), consumed, produced);
        if (result == http_chunked_parser_t::invalid) {
            throw server_failure_t(tvk::EC_NETWORK_ERROR, "Invalid chunked body: " + describe_endpoint(), "invalid chunked body");
        }
        ended = result == http_chunked_parser_t::complete, extra = consumed < receive_buffer_.size();
        receive_buffer_.resize(produced);
    } else if (body_length_ && receive_buffer_.size() >= *body_length_ - body_received_) {
        // Bytes beyond the announced length are not this body's.
        extra = receive_buffer_.size() > *body_length_ - body_received_;
        receive_buffer_.resize(static_cast<std::size_t>(*body_length_ - body_received_));
        ended = true;
    }
    body_received_ += receive_buffer_.size();
    if (unwanted_) {
        // Read over to its end, up to a bound, only to keep the connection.
        if ((drained_ += receive_buffer_.size()) > max_drained) std::rethrow_exception(unwanted_);
    } else if (!receive_buffer_.empty()) {
        data_received(receive_buffer_);
    }
    if (ended) finish_body(extra);
    return !ended;
}

// The body has ended: the connection stays for the next request when the server keeps it and
// sent nothing beyond; a TLS session is kept for the next connection to the server.
void http_connection_t::finish_body(bool extra) {
    reusable_ = keeps_ && !extra;
    tls_clean_ = !extra;
    if (tls_stream_ && !extra) {
        if (SSL_SESSION* session = SSL_get1_session(tls_stream_->native_handle())) {
            SSL_SESSION*& kept = sessions_[session_key()];
            if (kept) SSL_SESSION_free(kept);
            kept = session;
        }
    }
    exchange_state_ = st_done;
    io_service_.stop();
}

std::string http_connection_t::session_key() const { return url_.host() + ":" + std::to_string(url_.port()); }

void http_connection_t::fail_slow() const {
    const std::string cause = "under 1 KiB/s for " + seconds_text(timeout_);
    throw server_failure_t(tvk::EC_NETWORK_TIMEDOUT, "IO: " + cause + ": " + describe_endpoint(), cause);
}

void http_connection_t::on_head_read() {
    const http_response_t& response = parser_.response();
    // Inside a tunnel the update server answers, not the proxy: its 407 is one more status it
    // should not send, and the proxy's credentials are never its to ask for.
    const bool from_server = connection_mode_ == mode_tls_tunnel && exchange_state_ == st_head;
    if (exchange_state_ == st_head) frame_body(response);
    if (response.status() == 407 && !from_server) {
        // Without a proxy, only the server asked: one more status it should not send.
        if (proxy_.type() != tvk::Proxy::PROXY_TYPE_HTTP) {
            throw server_failure_t(tvk::EC_PROXY_AUTH_ERROR, error_code_text(tvk::EC_PROXY_AUTH_ERROR), "status 407");
        }
        const proxy_challenge_t challenge = read_proxy_challenge(response);
        // Answered again: a first challenge, or a Digest nonce that went stale; not credentials refused.
        answer_again_ = !sent_credentials_ || (challenge.digest && challenge.stale);
        proxy_challenge_ = challenge;
        nonce_count_ = 0;
        if (exchange_state_ == st_tunnel) throw boost::system::system_error(tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR));
        unwanted(std::make_exception_ptr(boost::system::system_error(tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR))));
        return;
    }
    if (exchange_state_ == st_tunnel) {
        // A proxy that refuses the tunnel answered instead of the server: no handshake with it.
        if (response.status() < 200 || response.status() > 299) {
            throw server_failure_t(tvk::EC_NETWORK_ERROR, "Proxy refused the tunnel: " + std::to_string(response.status()) + " " +
                                                              response.reason() + ": " + url_.to_string(),
                                   "the proxy refused the tunnel with status " + std::to_string(response.status()));
        }
        return;
    }
    try {
        response_received(response);
    } catch (...) {
        unwanted(std::current_exception());
    }
}

void http_connection_t::frame_body(const http_response_t& response) {
    const std::string& coding = header_value(response.headers(), "Transfer-Encoding");
    const std::size_t comma = coding.find_last_of(',');
    const std::string last = comma == std::string::npos ? coding : coding.substr(comma + 1);
    chunked_body_ = boost::algorithm::iequals(boost::algorithm::trim_copy(last), "chunked");
    body_length_ = coding.empty() ? content_length(response.headers()) : boost::none;
    // A body that ends only at the close, or whose length two headers tell, ends the connection.
    keeps_ = keep_alive_ && keeps_connection(response) && (chunked_body_ || body_length_) &&
             (coding.empty() || header_value(response.headers(), "Content-Length").empty());
}

// An unwanted answer (a 404 of a packed form, a proxy's challenge) ends the exchange with its
// failure; when its body is short and framed, it is read to its end first so that the next
// request reuses the connection.
void http_connection_t::unwanted(std::exception_ptr failure) {
    if (!keeps_ || (body_length_ && *body_length_ > max_drained)) std::rethrow_exception(failure);
    unwanted_ = failure;
}

void http_connection_t::build_request(const std::string& method) {
    const bool connect = method == "CONNECT";
    std::string host = url_.host();
    if (url_.port() != 0) {
        host += ":" + std::to_string(url_.port());
    } else if (connect) {
        host += ":443";
    }
    request_ = http_request_t();
    request_.method = method;
    request_.target = connect ? host : url_.to_string();
    request_.headers.add("Host", host);
    if (!connect) {
        request_.headers.append(extra_headers_);
        if (range_from_ > 0) request_.headers.add("Range", "bytes=" + std::to_string(range_from_) + "-");
    }
    // The proxy's credentials go to the proxy alone: with every request in the plain mode, where
    // the proxy receives them, and with CONNECT, but never through the tunnel to the server. A
    // Digest answer counts its requests on the nonce, each with a client nonce of its own.
    sent_credentials_ = proxy_challenge_ && (connect || connection_mode_ == mode_plain_proxy);
    if (sent_credentials_) {
        request_.headers.add("Proxy-Authorization",
                             answer_proxy_challenge(*proxy_challenge_, request_, proxy_.user(), proxy_.password(), ++nonce_count_,
                                                    proxy_challenge_->digest ? random_cnonce() : std::string()));
    }
    request_text_ = request_.to_string();
}

// ---------------------------------------------------------------------------------------------
// Time-outs

void http_connection_t::arm_timer(timeout_kind_t kind) {
    timeout_kind_ = kind;
    deadline_ = saturated_deadline(timeout_);
    if (timer_waiting_ && timer_.expiry() <= wake_time()) {
        // The pending wait wakes up first and re-waits for the rest; see on_timer.
        return;
    }
    timer_.expires_at(wake_time());
    timer_.async_wait([this](const error_code& ec) { on_timer(ec); });
    timer_waiting_ = true;
}

std::chrono::steady_clock::time_point http_connection_t::wake_time() const {
    return exchange_state_ == st_body && floor_.started() ? std::min(deadline_, floor_.window_end()) : deadline_;
}

void http_connection_t::on_timer(const error_code& ec) {
    if (is_aborted(ec)) {
        return;
    }
    timer_waiting_ = false;
    if (exchange_state_ == st_done) {
        return;
    }
    if (ec) {
        throw boost::system::system_error(ec, "Network timer");
    }
    // A server that sends nothing has made no progress at all, before it is merely slow.
    const auto now = std::chrono::steady_clock::now();
    if (now < deadline_) {
        if (exchange_state_ == st_body && floor_.started() && !floor_.add(0, now)) fail_slow();
        timer_.expires_at(wake_time());
        timer_.async_wait([this](const error_code& e) { on_timer(e); });
        timer_waiting_ = true;
        return;
    }
    const bool connecting = timeout_kind_ == connect_timeout;
    throw server_failure_t(tvk::EC_NETWORK_TIMEDOUT,
                           std::string(connecting ? "Connect" : "IO") + ": Network operation timed out: " + describe_endpoint(),
                           (connecting ? "no connection within " : "no progress for ") + seconds_text(timeout_));
}

bool http_connection_t::proceeds(const char* op, const error_code& ec) const {
    if (is_aborted(ec) || exchange_state_ == st_done) return false;
    if (ec) fail(op, ec);
    return true;
}

void http_connection_t::fail(const char* op, const error_code& ec) const {
    const bool tls = std::strcmp(op, "SSL handshake") == 0;
    throw server_failure_t(tvk::EC_NETWORK_ERROR, std::string(op) + ": " + ec.message() + ": " + describe_endpoint(),
                           (tls ? "TLS handshake: " : "") + cause_of(ec));
}

}  // namespace upd
