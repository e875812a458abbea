// The addresses of a server (or a proxy), tried in order until one answers.
#include "net/endpoint_queue.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "net/server_failure.hpp"

namespace upd {

void endpoint_queue_t::resolve(const std::string& host, const std::string& service) {
    if (queried_ && host == host_ && service == service_) return;
    assign(host, service, {});
    boost::system::error_code ec;
    const auto results = resolver_.resolve(boost::asio::ip::tcp::resolver::query(host, service), ec);
    if (ec) {
        throw server_failure_t(tvk::EC_NETWORK_ERROR, "Cannot resolve: " + ec.message() + ": " + describe(),
                               "cannot resolve the name: " + cause_of(ec));
    }
    for (const auto& entry : results) endpoints_.push_back(entry.endpoint());
}

void endpoint_queue_t::assign(const std::string& host, const std::string& service, std::deque<endpoint_t> endpoints) {
    queried_ = true;
    host_ = host;
    service_ = service;
    endpoints_ = std::move(endpoints);
}

const endpoint_queue_t::endpoint_t& endpoint_queue_t::front() const {
    if (endpoints_.empty()) {
        LOG_DEBUG("All resolved endpoints have been used: " << describe());
        throw server_failure_t(tvk::EC_NO_UPDATE_SERVERS, error_code_text(tvk::EC_NO_UPDATE_SERVERS),
                               "no address left to try");
    }
    return endpoints_.front();
}

std::string endpoint_queue_t::describe() const {
    if (!queried_) return "<empty>";
    return host_ + ":" + service_ + (endpoints_.empty() ? "" : " [" + endpoints_.front().address().to_string() + "]");
}

}  // namespace upd
