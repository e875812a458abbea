// The way to the server of a URL: TCP or TLS, direct or through an HTTP proxy, with time-outs.
#include "net/http_transport.hpp"

#include "framework/cf_log.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/error_code.hpp"
#include "net/server_failure.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>

namespace upd {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// now + timeout without overflowing the clock in either direction.
std::chrono::steady_clock::time_point saturated_deadline(std::chrono::steady_clock::time_point now,
                                                         std::chrono::steady_clock::duration timeout) {
    using clock = std::chrono::steady_clock;
    if (timeout > clock::duration::zero() && now > clock::time_point::max() - timeout) return clock::time_point::max();
    if (timeout < clock::duration::zero() && now < clock::time_point::min() - timeout) return clock::time_point::min();
    return now + timeout;
}

std::string seconds_text(std::chrono::steady_clock::duration d) {
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return std::to_string(ms < 1000 ? 1 : (ms + 999) / 1000) + " s";
}

}  // namespace

http_transport_t::http_transport_t(asio::io_service& io_service, byte_counter_t& counter)
    : io_service_(io_service), counter_(counter), timer_(io_service), held_timer_(io_service) {}

void http_transport_t::open(const url_t& url, const tvk::Proxy& proxy) {
    url_ = url;
    const bool http = boost::algorithm::iequals(url_.scheme(), "http");
    if (!http && !boost::algorithm::iequals(url_.scheme(), "https")) {
        LOG_ERROR("Unsupported protocol " << url_.scheme());
        throw server_failure_t(tvk::EC_UNEXPECTED_ERROR, "Unsupported protocol", "unsupported scheme");
    }

    const int type = proxy.type();
    if (type != tvk::Proxy::PROXY_TYPE_NONE && type != tvk::Proxy::PROXY_TYPE_HTTP) {
        LOG_ERROR("Config option proxy: Unsupported proxy "
                  << (tvk::Proxy::Type_IsValid(type) ? tvk::Proxy::Type_Name(proxy.type()) : std::to_string(type)));
        throw cf_outcome_t(tvk::EC_BAD_CONFIG);
    }
    mode_ = type == tvk::Proxy::PROXY_TYPE_NONE ? (http ? mode_plain : mode_tls)
                                                : (http ? mode_plain_proxy : mode_tls_tunnel);
    // Each server its own addresses, however many share a host: what one of them failed costs
    // no other, and one never asked starts with all of them.
    auto& queue = queues_[url.server().empty() ? url.scheme() + "://" + url.host() + ":" + std::to_string(url.port())
                                               : url.server()];
    if (!queue) queue.reset(new endpoint_queue_t(io_service_));
    endpoints_ = queue.get();

    if (!through_proxy()) {
        endpoints_->resolve(url_.host(), std::to_string(url_.port() != 0      ? url_.port()
                                                        : mode_ == mode_plain ? 80
                                                                              : 443));
    } else {
        const std::uint16_t port = static_cast<std::uint16_t>(proxy.port() & 0xFFFFu);
        try {
            endpoints_->resolve(proxy.host(), std::to_string(port));
        } catch (const std::exception&) {
            LOG_ERROR("Cannot resolve proxy address: " << proxy.host() << ":" << port);
            throw;
        }
    }

    if (tls() && !tls_context_) {
        // The server certificate is not verified: downloads are trusted by their signatures and
        // digests, not by the transport. One context for the connection's life, so that the
        // sessions of its servers can be offered again.
        tls_context_.reset(new asio::ssl::context(asio::ssl::context::sslv23_client));
        tls_context_->set_options(asio::ssl::context::no_compression);
    }
}

// The connection, made anew or kept.

std::string http_transport_t::peer() const {
    const endpoint_queue_t::endpoint_t& endpoint = endpoints_->front();
    // Through a proxy in the plain mode any server's request may follow; a TLS connection (and a
    // tunnel) was made for one server name.
    return std::to_string(mode_) + " " + endpoint.address().to_string() + " " + std::to_string(endpoint.port()) +
           (mode_ != mode_plain_proxy ? " " + session_key() : "");
}

bool http_transport_t::begin() {
    active_ = true;
    received_ = 0;
    floor_ = progress_floor_t();
    counted_at_ = {};
    const std::string peer_now = peer();
    const bool kept = kept_for_ == peer_now && std::chrono::steady_clock::now() - kept_since_ <= max_idle;
    kept_for_.clear();
    if (!kept) close();  // a kept one (clean) that is too old or leads elsewhere, or none
    tls_clean_ = false;
    peer_ = peer_now;
    return kept;
}

void http_transport_t::connect(step_handler_t handler) {
    const endpoint_queue_t::endpoint_t endpoint = endpoints_->front();
    tls_stream_.reset();
    socket_.reset();
    secured_ = false;
    if (tls()) {
        // A fresh stream per connection: an OpenSSL session that failed a handshake cannot be
        // reused. The session of the last exchange with this server is offered, to save a round trip.
        tls_stream_.reset(new tls_stream_t(io_service_, *tls_context_));
        error_code not_ip;
        asio::ip::make_address(url_.host(), not_ip);
        if (!url_.host().empty() && not_ip) SSL_set_tlsext_host_name(tls_stream_->native_handle(), url_.host().c_str());
        // The server's choice decides: h2 hands the connection to a multiplexed session.
        static const unsigned char both[] = "\x02h2\x08http/1.1";
        if (offer_h2_) SSL_set_alpn_protos(tls_stream_->native_handle(), both, sizeof both - 1);
        const auto session = sessions_.find(session_key());
        if (session != sessions_.end()) SSL_set_session(tls_stream_->native_handle(), session->second.get());
    } else {
        socket_.reset(new tcp_socket_t(io_service_));
    }
    lowest_layer().async_connect(endpoint, std::move(handler));
    arm_timer(connect_timeout);
}

void http_transport_t::handshake(step_handler_t handler) {
    secured_ = true;
    tls_stream_->async_handshake(asio::ssl::stream_base::client, std::move(handler));
    arm_timer(io_timeout);
}

void http_transport_t::write(std::string bytes, io_handler_t handler) {
    arm_timer(io_timeout);
    sending_ = std::move(bytes);
    auto written = [this, handler](const error_code& ec, std::size_t n) {
        counter_.add_sent(static_cast<std::uint32_t>(n));
        handler(ec, n);
    };
    if (secured_) return asio::async_write(*tls_stream_, asio::buffer(sending_), written);
    asio::async_write(lowest_layer(), asio::buffer(sending_), written);
}

void http_transport_t::read(std::vector<char>& buffer, io_handler_t handler) {
    std::size_t size = receive_buffer_size;
    if (limit_) {
        std::chrono::steady_clock::time_point until;
        size = limit_->reserve(size, std::chrono::steady_clock::now(), until);
        if (size == 0) return hold(until, buffer, std::move(handler));
    }
    arm_timer(io_timeout);
    buffer.resize(size);
    auto done = [this, &buffer, handler, size](const error_code& ec, std::size_t n) {
        if (limit_) limit_->refund(size - n);
        counter_.add_received(static_cast<std::uint32_t>(n));
        received_ += n;
        buffer.resize(n);
        handler(n == 0 && !ec ? error_code(asio::error::eof) : ec, n);
    };
    if (secured_) return tls_stream_->async_read_some(asio::buffer(buffer), done);
    lowest_layer().async_read_some(asio::buffer(buffer), done);
}

void http_transport_t::hold(std::chrono::steady_clock::time_point until, std::vector<char>& buffer,
                            io_handler_t handler) {
    // The step's deadline would run on while held: stop its timer, and arm it anew after.
    error_code ignored;
    timer_.cancel(ignored);
    timer_waiting_ = false;
    held_since_ = std::chrono::steady_clock::now();
    held_timer_.expires_at(until);
    held_timer_.async_wait([this, &buffer, handler](const error_code& ec) { on_held(ec, buffer, handler); });
}

void http_transport_t::on_held(const error_code& ec, std::vector<char>& buffer, const io_handler_t& handler) {
    if (ec == asio::error::operation_aborted || !active_) return;
    if (ec) throw boost::system::system_error(ec, "Network timer");
    const auto held = std::chrono::steady_clock::now() - held_since_;
    floor_.pause(held);
    if (counted_at_ != std::chrono::steady_clock::time_point()) counted_at_ += held;
    read(buffer, handler);
}

void http_transport_t::end_cleanly() {
    tls_clean_ = true;
    if (SSL_SESSION* session = tls_stream_ ? SSL_get1_session(tls_stream_->native_handle()) : nullptr) {
        sessions_.insert_or_assign(session_key(), session_t(session, SSL_SESSION_free));
    }
}

void http_transport_t::finish(bool keep) {
    active_ = false;
    if (keep) {
        kept_for_ = peer_;
        kept_since_ = std::chrono::steady_clock::now();
    } else {
        kept_for_.clear();
        close();
        tls_clean_ = false;
    }
    error_code ignored;
    timer_.cancel(ignored);
    held_timer_.cancel(ignored);
    timer_waiting_ = false;
}

void http_transport_t::close() {
    if (!socket_ && !tls_stream_) return;
    // No close-notify is sent; OpenSSL would then count the session as broken and never offer
    // it again, though the last exchange ended as it should.
    if (tls_stream_ && tls_clean_) SSL_set_shutdown(tls_stream_->native_handle(), SSL_SENT_SHUTDOWN);
    error_code ignored;
    lowest_layer().shutdown(tcp_socket_t::shutdown_both, ignored);
    lowest_layer().close(ignored);
}

bool http_transport_t::h2_chosen() const {
    const unsigned char* name = nullptr;
    unsigned length = 0;
    if (tls_stream_) SSL_get0_alpn_selected(tls_stream_->native_handle(), &name, &length);
    return length == 2 && std::memcmp(name, "h2", 2) == 0;
}

std::unique_ptr<http_transport_t::tls_stream_t> http_transport_t::release() {
    end_cleanly();  // its session may be offered to the next connection to the server
    kept_for_.clear();
    active_ = false;
    error_code ignored;
    timer_.cancel(ignored);
    timer_waiting_ = false;
    return std::move(tls_stream_);
}

std::string http_transport_t::describe_tls() {
    SSL* ssl = tls_stream_->native_handle();
    return std::string(SSL_get_version(ssl)) + (SSL_session_reused(ssl) ? ", session resumed" : "");
}

void http_transport_t::fail(const char* op, const error_code& ec) const {
    const bool tls = std::strcmp(op, "SSL handshake") == 0;
    throw server_failure_t(tvk::EC_NETWORK_ERROR, std::string(op) + ": " + ec.message() + ": " + describe(),
                           (tls ? "TLS handshake: " : "") + cause_of(ec));
}

// Time-outs and the progress floor.

void http_transport_t::count_body(std::size_t n, boost::optional<std::uint64_t> rest) {
    const auto now = std::chrono::steady_clock::now();
    if (!floor_.started()) floor_.start(now, timeout_, rest);
    if (!floor_.add(n, now)) fail_slow();
    counted_at_ = now;
}

void http_transport_t::fail_slow() const {
    const std::string cause = "under 1 KiB/s for " + seconds_text(timeout_);
    throw server_failure_t(tvk::EC_NETWORK_TIMEDOUT, "IO: " + cause + ": " + describe(), cause);
}

void http_transport_t::arm_timer(timeout_kind_t kind) {
    timeout_kind_ = kind;
    // Silence counts from the bytes last counted, so that a server silent since its first body
    // bytes meets its deadline with the floor's first window and is named by its silence.
    const auto now = std::chrono::steady_clock::now();
    const bool after_body = kind == io_timeout && counted_at_ != std::chrono::steady_clock::time_point();
    deadline_ = saturated_deadline(after_body ? counted_at_ : now, timeout_);
    counted_at_ = {};
    // A pending wait that wakes up first re-waits for the rest; see on_timer.
    if (!timer_waiting_ || timer_.expiry() > wake_time()) wait();
}

void http_transport_t::wait() {
    timer_.expires_at(wake_time());
    timer_.async_wait([this](const error_code& ec) { on_timer(ec); });
    timer_waiting_ = true;
}

std::chrono::steady_clock::time_point http_transport_t::wake_time() const {
    return floor_.started() ? std::min(deadline_, floor_.window_end()) : deadline_;
}

void http_transport_t::on_timer(const error_code& ec) {
    if (ec == asio::error::operation_aborted) return;
    timer_waiting_ = false;
    if (!active_) return;
    if (ec) throw boost::system::system_error(ec, "Network timer");
    // A server that sends nothing has made no progress at all, before it is merely slow.
    const auto now = std::chrono::steady_clock::now();
    if (now < deadline_) {
        if (floor_.started() && !floor_.add(0, now)) fail_slow();
        return wait();
    }
    const bool connecting = timeout_kind_ == connect_timeout;
    throw server_failure_t(tvk::EC_NETWORK_TIMEDOUT,
                           std::string(connecting ? "Connect" : "IO") + ": Network operation timed out: " + describe(),
                           (connecting ? "no connection within " : "no progress for ") + seconds_text(timeout_));
}

}  // namespace upd
