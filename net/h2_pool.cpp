// The multiplexed connections of a run: one per server that chose HTTP/2, shared by all its downloaders.
#include "net/h2_pool.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "net/server_failure.hpp"

namespace upd {

h2_pool_t::h2_pool_t(boost::asio::io_service& io_service, byte_counter_t& counter)
    : io_service_(io_service), counter_(counter) {}

h2_pool_t::~h2_pool_t() {
    drop_early();
    for (auto& c : connections_) c->close();
    // The cancelled handlers refer to the connections: they run (and return at once) before those go.
    io_service_.restart();
    for (bool more = true; more;) {
        try {
            more = io_service_.poll() > 0;
        } catch (...) {}
    }
}

std::string h2_pool_t::key(const url_t& url) {
    return url.server().empty() ? url.scheme() + "://" + url.host() + ":" + std::to_string(url.port()) : url.server();
}

h2_pool_t::protocol_t h2_pool_t::protocol(const url_t& url) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = servers_.find(key(url));
    return it == servers_.end() ? unknown : it->second.protocol;
}

void h2_pool_t::set_protocol(const url_t& url, protocol_t protocol) {
    std::lock_guard<std::mutex> lock(mutex_);
    servers_[key(url)].protocol = protocol;
}

void h2_pool_t::submit(const h2_exchange_ptr& exchange) {
    io_service_.post([this, exchange] { route(exchange); });
}

void h2_pool_t::route(const h2_exchange_ptr& exchange) {
    server_t* server;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        server = &servers_[key(exchange->url())];
    }
    if (server->connection && !server->connection->usable()) server->connection = nullptr;
    if (server->connection) return server->connection->submit(exchange);
    server->waiting.push_back(exchange);
}

// Refused, or left above a GOAWAY: once more over a new connection, never a third time.
void h2_pool_t::again(const h2_exchange_ptr& exchange) {
    if (exchange->sent >= 2) {
        const std::string cause = "refused twice";
        return exchange->finish(
            std::make_exception_ptr(server_failure_t(tvk::EC_NETWORK_ERROR, "HTTP/2: " + cause, cause)));
    }
    LOG_DEBUG("HTTP/2: " << exchange->url().to_string() << ": asked again on a new connection");
    io_service_.post([this, exchange] { route(exchange); });
}

boost::optional<url_t> h2_pool_t::wanted() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : servers_) {
        auto& waiting = s.second.waiting;
        while (!waiting.empty() && waiting.front()->over()) waiting.pop_front();
        if (waiting.empty()) continue;
        if (s.second.connection && !s.second.connection->usable()) s.second.connection = nullptr;
        if (!s.second.connection) return waiting.front()->url();
    }
    return boost::none;
}

void h2_pool_t::adopt(const url_t& url, std::unique_ptr<http_transport_t::tls_stream_t> stream,
                      std::chrono::steady_clock::duration timeout, const std::string& describe,
                      std::shared_ptr<rate_limit_t> limit) {
    connections_.emplace_back(new h2_connection_t(
        io_service_, std::move(stream), counter_, timeout, describe, [this](const h2_exchange_ptr& e) { again(e); },
        std::move(limit)));
    std::deque<h2_exchange_ptr> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        server_t& server = servers_[key(url)];
        server.protocol = h2;
        server.connection = connections_.back().get();
        waiting.swap(server.waiting);
    }
    for (const auto& e : waiting) connections_.back()->submit(e);
}

void h2_pool_t::unreachable(const url_t& url, std::exception_ptr failure) {
    std::deque<h2_exchange_ptr> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting.swap(servers_[key(url)].waiting);
    }
    for (const auto& e : waiting) e->finish(failure);
}

void h2_pool_t::keep_early(const std::string& path, const h2_exchange_ptr& exchange) {
    std::lock_guard<std::mutex> lock(mutex_);
    h2_exchange_ptr& slot = early_[path];
    if (slot) slot->abandon();
    slot = exchange;
}

h2_exchange_ptr h2_pool_t::claim_early(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = early_.find(path);
    if (it == early_.end()) return nullptr;
    h2_exchange_ptr exchange = std::move(it->second);
    early_.erase(it);
    return exchange;
}

void h2_pool_t::drop_early() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& e : early_) e.second->abandon();
    early_.clear();
}

}  // namespace upd
