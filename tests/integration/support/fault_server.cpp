// A scripted HTTP server on 127.0.0.1 that misbehaves on purpose and records what it was sent.
#include "support/fault_server.hpp"

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <openssl/ssl.h>

namespace asio = boost::asio;
using boost::system::error_code;
using tcp = asio::ip::tcp;

namespace tvk_test {

class fault_server_t::session_t : public std::enable_shared_from_this<session_t> {
public:
    session_t(fault_server_t& server, behaviour_t behaviour)
        : server_(server),
          behaviour_(behaviour),
          stream_(server.io_service_, server.tls_context_),
          timer_(server.io_service_) {}

    tcp::socket& socket() { return stream_.next_layer(); }

    void start() {
        error_code ignored;
        socket().set_option(tcp::no_delay(true), ignored);
        if (behaviour_ == behaviour_t::close_at_once) {
            close();
        } else if (behaviour_ == behaviour_t::tls_ok) {
            handshake();
        } else {
            read_head(false);
        }
    }

    void close() {
        error_code ignored;
        timer_.cancel(ignored);
        socket().shutdown(tcp::socket::shutdown_both, ignored);
        socket().close(ignored);
    }

private:
    void handshake() {
        auto self = shared_from_this();
        stream_.async_handshake(asio::ssl::stream_base::server, [self](const error_code& ec) {
            if (ec) {
                return self->close();
            }
            const char* name = SSL_get_servername(self->stream_.native_handle(), TLSEXT_NAMETYPE_host_name);
            self->server_.record_server_name(name ? name : "");
            self->read_head(true);
        });
    }

    void read_head(bool tls) {
        auto self = shared_from_this();
        auto handler = [self, tls](const error_code& ec, std::size_t n) {
            if (ec) {
                return self->close();
            }
            const auto begin = asio::buffers_begin(self->buffer_.data());
            const std::string head(begin, begin + static_cast<std::ptrdiff_t>(n));
            self->buffer_.consume(n);
            self->on_head(head, tls);
        };
        if (tls) {
            asio::async_read_until(stream_, buffer_, "\r\n\r\n", handler);
        } else {
            asio::async_read_until(socket(), buffer_, "\r\n\r\n", handler);
        }
    }

    void on_head(const std::string& head, bool tls) {
        server_.record_request(head);
        const std::string& body = server_.body_;
        const std::string ok_head =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        switch (behaviour_) {
        case behaviour_t::ok:
        case behaviour_t::tls_ok:
            return send(ok_head + body, tls);
        case behaviour_t::not_found:
            return send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", tls);
        case behaviour_t::close_before_head:
            return send("HTTP/1.1 200 OK\r\nContent-Len", tls);
        case behaviour_t::close_mid_body:
            return send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(2 * body.size()) + "\r\n\r\n" + body,
                        tls);
        case behaviour_t::never_answer:
            return;
        case behaviour_t::redirect:
            return send("HTTP/1.1 301 Moved Permanently\r\nLocation: http://127.0.0.1/elsewhere\r\n"
                        "Content-Length: 0\r\n\r\n",
                        tls);
        case behaviour_t::challenge_auth_int:
            return send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest "
                        "realm=\"tavik\", nonce=\"3f2a\", qop=\"auth,auth-int\"\r\nContent-Length: 0\r\n\r\n",
                        tls);
        case behaviour_t::challenge_basic:
            return send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                        "realm=\"tavik\"\r\nContent-Length: 0\r\n\r\n",
                        tls);
        case behaviour_t::challenge_digest:
            return send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest "
                        "realm=\"tavik\", nonce=\"5b1c\", qop=\"auth\"\r\nContent-Length: 0\r\n\r\n",
                        tls);
        case behaviour_t::endless_body:
            return send_endless(tls);
        case behaviour_t::head_byte_by_byte:
            return send_byte_by_byte(ok_head, 0, tls);
        case behaviour_t::tunnel:
            if (tls) {
                return send(ok_head + body, tls);
            }
            return send_then("HTTP/1.1 200 Connection established\r\n\r\n", [this] { handshake(); });
        case behaviour_t::close_at_once:
            return close();
        case behaviour_t::slow_body:
            return send_then(ok_head, [this] { send_slowly(0); });
        case behaviour_t::tunnel_refused: {
            const std::string page = "<html><body>Access denied</body></html>\n";
            return send("HTTP/1.1 403 Forbidden\r\nContent-Type: text/html\r\nContent-Length: " +
                            std::to_string(page.size()) + "\r\n\r\n" + page,
                        tls);
        }
        }
    }

    template <class Next>
    void send_then(std::string data, Next next) {
        auto self = shared_from_this();
        auto text = std::make_shared<std::string>(std::move(data));
        asio::async_write(socket(), asio::buffer(*text), [self, text, next](const error_code& ec, std::size_t) {
            if (ec) {
                return self->close();
            }
            next();
        });
    }

    void send(std::string data, bool tls) {
        auto self = shared_from_this();
        auto text = std::make_shared<std::string>(std::move(data));
        auto handler = [self, text](const error_code&, std::size_t) { self->finish(); };
        if (tls) {
            asio::async_write(stream_, asio::buffer(*text), handler);
        } else {
            asio::async_write(socket(), asio::buffer(*text), handler);
        }
    }

    void send_endless(bool tls) {
        auto self = shared_from_this();
        auto text = std::make_shared<std::string>("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        auto handler = [self, text, tls](const error_code& ec, std::size_t) {
            if (ec) {
                return self->close();
            }
            self->send_chunk(tls);
        };
        if (tls) {
            asio::async_write(stream_, asio::buffer(*text), handler);
        } else {
            asio::async_write(socket(), asio::buffer(*text), handler);
        }
    }

    void send_chunk(bool tls) {
        static const std::string chunk(65536, 'x');
        auto self = shared_from_this();
        auto handler = [self, tls](const error_code& ec, std::size_t) {
            if (ec) {
                return self->close();
            }
            self->send_chunk(tls);
        };
        if (tls) {
            asio::async_write(stream_, asio::buffer(chunk), handler);
        } else {
            asio::async_write(socket(), asio::buffer(chunk), handler);
        }
    }

    // One byte per write with a pause between, so that every byte travels in its own segment.
    void send_byte_by_byte(std::string head, std::size_t index, bool tls) {
        if (index == head.size()) {
            return send(server_.body_, tls);
        }
        auto self = shared_from_this();
        auto text = std::make_shared<std::string>(std::move(head));
        auto handler = [self, text, index, tls](const error_code& ec, std::size_t) {
            if (ec) {
                return self->close();
            }
            self->timer_.expires_after(std::chrono::milliseconds(1));
            self->timer_.async_wait([self, text, index, tls](const error_code& e) {
                if (e) {
                    return self->close();
                }
                self->send_byte_by_byte(*text, index + 1, tls);
            });
        };
        if (tls) {
            asio::async_write(stream_, asio::buffer(&(*text)[index], 1), handler);
        } else {
            asio::async_write(socket(), asio::buffer(&(*text)[index], 1), handler);
        }
    }

    void send_slowly(std::size_t piece) {
        const std::string& body = server_.body_;
        const std::size_t size = (body.size() + 4) / 5;
        if (piece * size >= body.size()) {
            return finish();
        }
        auto self = shared_from_this();
        timer_.expires_after(std::chrono::milliseconds(150));
        timer_.async_wait([self, piece, size](const error_code& ec) {
            if (ec) {
                return self->close();
            }
            self->send_then(self->server_.body_.substr(piece * size, size), [self, piece] { self->send_slowly(piece + 1); });
        });
    }

    // Ends the answer with a FIN, then waits for the client to close before releasing the socket,
    // so that no unread byte turns the close into a reset that could cut the answer short.
    void finish() {
        error_code ignored;
        socket().shutdown(tcp::socket::shutdown_send, ignored);
        drain();
    }

    void drain() {
        auto self = shared_from_this();
        socket().async_read_some(asio::buffer(scratch_), [self](const error_code& ec, std::size_t) {
            if (ec) {
                return self->close();
            }
            self->drain();
        });
    }

    fault_server_t& server_;
    behaviour_t behaviour_;
    asio::ssl::stream<tcp::socket> stream_;
    asio::steady_timer timer_;
    asio::streambuf buffer_;
    char scratch_[4096];
};

fault_server_t::fault_server_t(std::vector<behaviour_t> script, std::string body,
                               const boost::filesystem::path& certificate, const boost::filesystem::path& key)
    : script_(std::move(script)),
      body_(std::move(body)),
      tls_context_(asio::ssl::context::sslv23_server),
      acceptor_(io_service_) {
    if (!certificate.empty()) {
        tls_context_.use_certificate_chain_file(certificate.string());
        tls_context_.use_private_key_file(key.string(), asio::ssl::context::pem);
    }
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    accept();
    thread_ = std::thread([this] { io_service_.run(); });
}

fault_server_t::~fault_server_t() {
    // Closing everything leaves the io_service without work, which ends the thread.
    io_service_.post([this] {
        error_code ignored;
        acceptor_.close(ignored);
        for (const auto& session : sessions_) {
            session->close();
        }
        sessions_.clear();
    });
    thread_.join();
}

void fault_server_t::accept() {
    auto session = std::make_shared<session_t>(
        *this, script_.empty() ? behaviour_t::ok : script_[std::min(sessions_.size(), script_.size() - 1)]);
    acceptor_.async_accept(session->socket(), [this, session](const error_code& ec) {
        if (ec) {
            return;
        }
        sessions_.push_back(session);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++connections_;
        }
        session->start();
        accept();
    });
}

void fault_server_t::record_request(const std::string& head) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(head);
}

void fault_server_t::record_server_name(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    server_names_.push_back(name);
}

std::vector<std::string> fault_server_t::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<std::string> fault_server_t::server_names() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return server_names_;
}

std::size_t fault_server_t::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

}  // namespace tvk_test
