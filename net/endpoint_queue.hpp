// The addresses of a server (or a proxy), tried in order until one answers.
#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <deque>
#include <string>

namespace upd {

// The addresses that one name resolution returned, consumed from the front as they fail.
class endpoint_queue_t {
public:
    using endpoint_t = boost::asio::ip::tcp::endpoint;

    explicit endpoint_queue_t(boost::asio::io_service& io_service) : resolver_(io_service) {}

    // Resolves (host, service) unless it was the last query; then the queue is kept as it is.
    void resolve(const std::string& host, const std::string& service);
    // Takes the given endpoints as the result of the query (host, service) without resolving.
    void assign(const std::string& host, const std::string& service, std::deque<endpoint_t> endpoints);

    // The current endpoint; EC_NO_UPDATE_SERVERS when all have been used.
    const endpoint_t& front() const;
    void pop() {
        if (!endpoints_.empty()) endpoints_.pop_front();
    }
    bool empty() const { return endpoints_.empty(); }

    // "<empty>", or host:service followed by " [address]" of the current endpoint.
    std::string describe() const;

private:
    boost::asio::ip::tcp::resolver resolver_;
    bool queried_ = false;
    std::string host_;
    std::string service_;
    std::deque<endpoint_t> endpoints_;
};

}  // namespace upd
