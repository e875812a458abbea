// A scripted HTTP server on 127.0.0.1 that misbehaves on purpose and records what it was sent.
#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvk_test {

class fault_server_t {
public:
    enum class behaviour_t {
        ok,                  // 200 with the body, then close
        not_found,           // 404, then close
        close_before_head,   // part of a status line and headers, then close
        close_mid_body,      // a head, half the announced body, then close
        never_answer,        // reads the request and stays silent
        redirect,            // 301 to another place
        challenge_auth_int,  // 407 with a Digest challenge offering qop "auth,auth-int"
        challenge_basic,     // 407 with a Basic challenge
        challenge_digest,    // 407 with a Digest challenge offering qop "auth"
        endless_body,        // 200 and body bytes until the client goes away
        head_byte_by_byte,   // the head of a 200 one byte per write, then the body
        tunnel,              // answers CONNECT with 200, then TLS, then as ok inside
        tunnel_refused,      // answers CONNECT with 403 and an HTML page
        tls_ok,              // TLS from the first byte, then as ok
        close_at_once,       // closes the connection as soon as it is accepted
        slow_body,           // the head of a 200, then the body in five pieces 150 ms apart
    };

    // Connection i follows script[i]; connections beyond the script follow its last entry.
    // TLS behaviours need a certificate (see make_self_signed_certificate).
    explicit fault_server_t(std::vector<behaviour_t> script, std::string body = "fault server body\n",
                            const boost::filesystem::path& certificate = {},
                            const boost::filesystem::path& key = {});
    fault_server_t(const fault_server_t&) = delete;
    fault_server_t& operator=(const fault_server_t&) = delete;
    ~fault_server_t();

    std::uint16_t port() const { return port_; }
    const std::string& body() const { return body_; }

    // Every request head received (up to and including the blank line), in arrival order.
    std::vector<std::string> requests() const;
    // The TLS server name of each TLS session in arrival order; empty when the client sent none.
    std::vector<std::string> server_names() const;
    std::size_t connections() const;

    class session_t;

private:
    friend class session_t;
    void accept();
    void record_request(const std::string& head);
    void record_server_name(const std::string& name);

    std::vector<behaviour_t> script_;
    std::string body_;
    boost::asio::io_service io_service_;
    boost::asio::ssl::context tls_context_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    std::vector<std::shared_ptr<session_t>> sessions_;  // io thread only
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::string> server_names_;
    std::size_t connections_ = 0;
    std::thread thread_;
};

}  // namespace tvk_test
