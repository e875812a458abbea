// An HTTP server on 127.0.0.1 that serves a published zone tree from a directory correctly, except
// the files whose names begin with a chosen prefix: those meet one scripted fault.
#pragma once

#include <boost/filesystem.hpp>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvk_test {

class zone_fault_server_t {
public:
    enum class fault_t {
        none,               // every file served
        close_before_head,  // part of a status line, then an orderly close
        reset_in_head,      // part of a status line, then a reset
        close_mid_body,     // the full length announced, half the body, then an orderly close
        reset_mid_body,     // the full length announced, half the body, then a reset
        stall_mid_body,     // the full length announced, half the body, then silence until the client leaves
        endless_body,       // 200 without a length, then bytes until the client leaves
        server_error,       // 500 with a short page
        not_found,          // 404, as if the file had never been published
    };

    zone_fault_server_t(boost::filesystem::path root, fault_t fault, std::string faulty_prefix)
        : root_(std::move(root)), fault_(fault), prefix_(std::move(faulty_prefix)) {
        if (::pipe(stop_) != 0) throw std::runtime_error("pipe");
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listener_ < 0) throw std::runtime_error("socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    zone_fault_server_t(const zone_fault_server_t&) = delete;
    zone_fault_server_t& operator=(const zone_fault_server_t&) = delete;

    ~zone_fault_server_t() {
        const char byte = 0;
        (void)!::write(stop_[1], &byte, 1);  // wakes every poll below; the pipe stays readable
        acceptor_.join();
        std::vector<std::thread> sessions;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sessions.swap(sessions_);
        }
        for (auto& t : sessions) t.join();
        ::close(listener_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& dir) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + dir; }
    // Faulty answers whose scripted part has been sent completely (a stall has begun, for instance).
    std::size_t faults() const { return faults_; }
    std::size_t requests() const { return requests_; }

private:
    // Waits until `fd` is readable; false when the server is stopping.
    bool wait_readable(int fd) const {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        for (;;) {
            const int r = ::poll(p, 2, -1);
            if (r < 0 && errno == EINTR) continue;
            return r > 0 && (p[1].revents & POLLIN) == 0;
        }
    }

    void accept_loop() {
        while (wait_readable(listener_)) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            sessions_.emplace_back([this, fd] { session(fd); });
        }
    }

    static bool send_all(int fd, const std::string& data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    static void reset(int fd) {
        const linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
    }

    // Ends the answer with a FIN and keeps the socket until the client has gone, so that no unread
    // byte turns the close into a reset.
    void finish(int fd) const {
        ::shutdown(fd, SHUT_WR);
        char scratch[4096];
        while (wait_readable(fd) && ::recv(fd, scratch, sizeof scratch, 0) > 0) {
        }
        ::close(fd);
    }

    void session(int fd) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (!wait_readable(fd)) return (void)::close(fd);
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return (void)::close(fd);
            head.append(buffer, static_cast<std::size_t>(n));
        }
        ++requests_;
        const std::size_t begin = head.find(' ') + 1;
        std::string path = head.substr(begin, head.find(' ', begin) - begin);
        // The updater names the absolute URL even to the origin server.
        const std::size_t scheme = path.find("://");
        if (scheme != std::string::npos) path.erase(0, path.find('/', scheme + 3));
        while (!path.empty() && path[0] == '/') path.erase(0, 1);
        const boost::filesystem::path file = root_ / path;
        const std::string name = file.filename().string();
        const bool faulty = fault_ != fault_t::none && name.compare(0, prefix_.size(), prefix_) == 0;
        std::string body;
        bool found = path.find("..") == std::string::npos && boost::filesystem::is_regular_file(file);
        if (found) {
            std::ifstream in(file.string(), std::ios::binary);
            body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        const std::string full_head =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        if (!faulty || !found) {
            send_all(fd, found ? full_head + body : "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
            return finish(fd);
        }
        const std::string half = full_head + body.substr(0, body.size() / 2);
        switch (fault_) {
        case fault_t::none:
            break;
        case fault_t::close_before_head:
            send_all(fd, "HTTP/1.1 200 OK\r\nContent-Len");
            ++faults_;
            return finish(fd);
        case fault_t::reset_in_head:
            send_all(fd, "HTTP/1.1 200 OK\r\nContent-Len");
            ++faults_;
            return reset(fd);
        case fault_t::close_mid_body:
            send_all(fd, half);
            ++faults_;
            return finish(fd);
        case fault_t::reset_mid_body:
            send_all(fd, half);
            ++faults_;
            return reset(fd);
        case fault_t::stall_mid_body:
            send_all(fd, half);
            ++faults_;
            while (wait_readable(fd) && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
            return (void)::close(fd);
        case fault_t::server_error:
            send_all(fd, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 6\r\n\r\nbroken");
            ++faults_;
            return finish(fd);
        case fault_t::not_found:
            send_all(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
            ++faults_;
            return finish(fd);
        case fault_t::endless_body: {
            const std::string chunk(65536, 'x');
            bool sent = send_all(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
            ++faults_;
            while (sent) {
                pollfd p{stop_[0], POLLIN, 0};
                if (::poll(&p, 1, 0) > 0) break;
                sent = send_all(fd, chunk);
            }
            return (void)::close(fd);
        }
        }
        ::close(fd);
    }

    boost::filesystem::path root_;
    fault_t fault_;
    std::string prefix_;
    int stop_[2] = {-1, -1};
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<std::size_t> faults_{0};
    std::atomic<std::size_t> requests_{0};
    std::mutex mutex_;
    std::vector<std::thread> sessions_;
    std::thread acceptor_;
};

}  // namespace tvk_test
