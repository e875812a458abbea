// One HTTP/1.1 exchange at a time over TCP or TLS, direct or through an HTTP proxy, with time-outs.
#include "net/http_connection.hpp"

#include "framework/cf_log.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/error_code.hpp"
#include "net/http_request.hpp"
#include "net/server_failure.hpp"

#include <boost/asio/ssl/error.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

namespace upd {

namespace asio = boost::asio;

http_connection_t::http_connection_t(asio::io_service& io_service, byte_counter_t& counter)
    : io_service_(io_service), transport_(io_service, counter) {
    proxy_.set_type(tvk::Proxy::PROXY_TYPE_NONE);
}

http_connection_t::~http_connection_t() {
    // Handlers still queued refer to this object: let them see the cancellation now.
    body_ = http_body_reader_t();
    finish_attempt();
}

void http_connection_t::execute() {
    bool fresh_again = false;
    for (int answers = 0;;) {
        try {
            run_attempt();
            return;
        } catch (const std::exception& e) {
            const bool unanswered_on_kept = reused_ && transport_.received() == 0;
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
            if (answer_again_ && ++answers <= 3 && to_error_code(error_code_of(e)) == tvk::EC_PROXY_AUTH_ERROR)
                continue;
            throw;
        } catch (...) {
            finish_attempt();
            throw;
        }
    }
}

void http_connection_t::run_attempt() {
    done_ = reached_ = answer_again_ = h2_chosen_ = handed_over_ = false;
    body_ = http_body_reader_t();
    unwanted_ = nullptr;
    boost::this_thread::interruption_point();
    reused_ = transport_.begin();
    if (reused_) {
        LOG_DEBUG("Connection kept: " << transport_.describe());
        reached_ = true;
        if (connect_only_)
            done_ = handed_over_ = true;  // a kept connection spoke HTTP/1.1
        else
            send_request();
    } else {
        transport_.connect([this](const error_code& ec) { on_connected(ec); });
    }
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
// return at once), so nothing of it leaks into the next attempt.
void http_connection_t::finish_attempt() {
    done_ = true;
    // A connection made for HTTP/2, or only made, stays for whoever takes it over.
    transport_.finish(body_.reusable() || handed_over_);
    io_service_.restart();
    for (bool more = true; more;) {
        try {
            more = io_service_.poll() > 0;
        } catch (...) {}
    }
}

// The steps: connected, through a proxy's tunnel, TLS, the request, the head, the body.

void http_connection_t::on_connected(const error_code& ec) {
    if (!proceeds("Connect", ec)) return;
    reached_ = true;
    LOG_DEBUG("Connected " << transport_.describe());
    switch (transport_.mode()) {
        case http_transport_t::mode_plain:
        case http_transport_t::mode_plain_proxy: return send_request();
        case http_transport_t::mode_tls: return transport_.handshake([this](const error_code& e) { on_handshake(e); });
        case http_transport_t::mode_tls_tunnel:
            parser_.reset();
            return transport_.write(build_request("CONNECT"), then(&http_connection_t::on_tunnel_request_written));
        case http_transport_t::mode_unset: throw cf_outcome_t(tvk::EC_UNEXPECTED_ERROR);
    }
}

void http_connection_t::on_tunnel_request_written(const error_code& ec, std::size_t) {
    if (!proceeds("Send", ec)) return;
    transport_.read(receive_buffer_, then(&http_connection_t::on_tunnel_reply_read));
}

void http_connection_t::on_tunnel_reply_read(const error_code& ec, std::size_t) {
    if (!proceeds("Receive", ec)) return;
    if (!head_complete()) return transport_.read(receive_buffer_, then(&http_connection_t::on_tunnel_reply_read));
    const http_response_t& reply = parser_.response();
    if (reply.status() == 407) {
        take_challenge(reply);
        throw boost::system::system_error(tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR));
    }
    // A proxy that refuses the tunnel answered instead of the server: no handshake with it.
    if (reply.status() < 200 || reply.status() > 299) {
        throw server_failure_t(tvk::EC_NETWORK_ERROR,
                               "Proxy refused the tunnel: " + std::to_string(reply.status()) + " " + reply.reason() +
                                   ": " + url_.to_string(),
                               "the proxy refused the tunnel with status " + std::to_string(reply.status()));
    }
    // Whatever follows the proxy's reply is not the server's: TLS speaks next.
    transport_.handshake([this](const error_code& e) { on_handshake(e); });
}

void http_connection_t::on_handshake(const error_code& ec) {
    if (!proceeds("SSL handshake", ec)) return;
    LOG_DEBUG("TLS: " << transport_.describe_tls());
    h2_chosen_ = transport_.h2_chosen();
    if (!h2_chosen_ && !connect_only_) return send_request();
    done_ = handed_over_ = true;
    io_service_.stop();
}

void http_connection_t::send_request() {
    parser_.reset();
    transport_.write(build_request(method_), then(&http_connection_t::on_request_written));
}

void http_connection_t::on_request_written(const error_code& ec, std::size_t) {
    if (!proceeds("Send", ec)) return;
    transport_.read(receive_buffer_, then(&http_connection_t::on_head_read));
}

void http_connection_t::on_head_read(const error_code& ec, std::size_t) {
    if (!proceeds("Receive", ec)) return;
    if (!head_complete()) return transport_.read(receive_buffer_, then(&http_connection_t::on_head_read));
    const http_response_t& head = parser_.response();
    body_.start(head, keep_alive_, body_limit_);
    // Inside a tunnel the update server answers, not the proxy: its 407 is one more status it
    // should not send, and the proxy's credentials are never its to ask for.
    if (head.status() == 407 && transport_.mode() != http_transport_t::mode_tls_tunnel) {
        take_challenge(head);
        unwanted(std::make_exception_ptr(boost::system::system_error(tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR))));
    } else {
        try {
            response_received(head);
        } catch (...) {
            unwanted(std::current_exception());
        }
    }
    if (take_body()) transport_.read(receive_buffer_, then(&http_connection_t::on_body_read));
}

void http_connection_t::on_body_read(const error_code& ec, std::size_t n) {
    if (ec == asio::error::operation_aborted || done_) return;
    if (n == 0 && (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated)) {
        const std::string cut = body_.close();
        if (!cut.empty())
            throw server_failure_t(tvk::EC_NETWORK_ERROR, "Receive: " + cut + ": " + transport_.describe(), cut);
        return finish_body();
    }
    if (ec) transport_.fail("Receive", ec);
    if (take_body()) transport_.read(receive_buffer_, then(&http_connection_t::on_body_read));
}

// Helpers of the steps.

http_transport_t::io_handler_t http_connection_t::then(step_t step) {
    return [this, step](const error_code& ec, std::size_t n) { (this->*step)(ec, n); };
}

bool http_connection_t::proceeds(const char* op, const error_code& ec) const {
    if (ec == asio::error::operation_aborted || done_) return false;
    if (ec) transport_.fail(op, ec);
    return true;
}

bool http_connection_t::head_complete() {
    std::size_t consumed = 0;
    const auto result = parser_.parse(receive_buffer_.data(), receive_buffer_.size(), consumed);
    receive_buffer_.erase(receive_buffer_.begin(), receive_buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
    if (result == http_response_parser_t::invalid) {
        throw server_failure_t(tvk::EC_NETWORK_ERROR, "Invalid HTTP response header: " + transport_.describe(),
                               "invalid response head");
    }
    return result == http_response_parser_t::complete;
}

void http_connection_t::take_challenge(const http_response_t& answer) {
    // Without a proxy, only the server asked: one more status it should not send.
    if (proxy_.type() != tvk::Proxy::PROXY_TYPE_HTTP) {
        throw server_failure_t(tvk::EC_PROXY_AUTH_ERROR, error_code_text(tvk::EC_PROXY_AUTH_ERROR), "status 407");
    }
    const proxy_challenge_t challenge = read_proxy_challenge(answer);
    // Answered again: a first challenge, or a Digest nonce that went stale; not credentials refused.
    answer_again_ = !sent_credentials_ || (challenge.digest && challenge.stale);
    proxy_challenge_ = challenge;
    nonce_count_ = 0;
}

// An unwanted answer (a 404 of a packed form, a proxy's challenge) ends the exchange with its
// failure; when its body is short and framed, it is read to its end first so that the next
// request reuses the connection.
void http_connection_t::unwanted(std::exception_ptr failure) {
    if (!body_.drain()) std::rethrow_exception(failure);
    unwanted_ = failure;
}

bool http_connection_t::take_body() {
    if (receive_buffer_.empty() && !body_.ended()) return true;
    const auto rest = body_.rest();
    const auto result = body_.take(receive_buffer_);
    if (result == http_body_reader_t::invalid) {
        throw server_failure_t(tvk::EC_NETWORK_ERROR, "Invalid chunked body: " + transport_.describe(),
                               "invalid chunked body");
    }
    if (result == http_body_reader_t::framing_too_large) {
        throw server_failure_t(tvk::EC_LIMIT_REACHED, "Chunk framing too large: " + transport_.describe(),
                               "chunk framing too large");
    }
    // The pace of the file as served: the bytes of the chunks' framing bring nothing.
    transport_.count_body(receive_buffer_.size(), rest);
    if (result == http_body_reader_t::overdrawn) std::rethrow_exception(unwanted_);
    if (!unwanted_ && !receive_buffer_.empty()) data_received(receive_buffer_);
    if (result == http_body_reader_t::incomplete) return true;
    finish_body();
    return false;
}

// The body has ended: the connection stays for the next request when the server keeps it and
// sent nothing beyond; a TLS session is kept for the next connection to the server.
void http_connection_t::finish_body() {
    if (body_.clean()) transport_.end_cleanly();
    done_ = true;
    io_service_.stop();
}

std::string http_connection_t::build_request(const std::string& method) {
    const bool connect = method == "CONNECT";
    const std::string host = url_.host() + (url_.port() != 0 ? ":" + std::to_string(url_.port())
                                            : connect        ? ":443"
                                                             : "");
    http_request_t request;
    request.method = method;
    request.target = connect ? host : url_.to_string();
    request.headers.add("Host", host);
    if (!connect) {
        request.headers.append(extra_headers_);
        if (range_from_ > 0) request.headers.add("Range", "bytes=" + std::to_string(range_from_) + "-");
    }
    // The proxy's credentials go to the proxy alone: with every request in the plain mode, where
    // the proxy receives them, and with CONNECT, but never through the tunnel to the server. A
    // Digest answer counts its requests on the nonce, each with a client nonce of its own.
    sent_credentials_ = proxy_challenge_ && (connect || transport_.mode() == http_transport_t::mode_plain_proxy);
    if (sent_credentials_) {
        request.headers.add(
            "Proxy-Authorization",
            answer_proxy_challenge(*proxy_challenge_, request, proxy_.user(), proxy_.password(), ++nonce_count_,
                                   proxy_challenge_->digest ? random_cnonce() : std::string()));
    }
    return request.to_string();
}

}  // namespace upd
