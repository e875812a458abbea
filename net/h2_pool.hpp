// The multiplexed connections of a run: one per server that chose HTTP/2, shared by all its downloaders.
#pragma once

#include "net/byte_counter.hpp"
#include "net/h2_connection.hpp"
#include "net/h2_exchange.hpp"
#include "net/url.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/optional.hpp>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace upd {

// Lives on the io_service of the run's own downloader, whose thread drives it; the other
// downloaders (the lanes) hand it their requests from their threads and wait. It never connects:
// a request for a server without a usable connection waits until the driver, told by wanted(),
// has made one (adopt) or failed to (unreachable). What the queue of a run will ask for can be
// started early (prefetch) and claimed later by whoever asks for it.
class h2_pool_t {
public:
    enum protocol_t { unknown, http1, h2 };

    h2_pool_t(boost::asio::io_service& io_service, byte_counter_t& counter);
    h2_pool_t(const h2_pool_t&) = delete;
    h2_pool_t& operator=(const h2_pool_t&) = delete;
    ~h2_pool_t();

    // What the server of `url` chose in the TLS handshake of this run; any thread.
    protocol_t protocol(const url_t& url) const;
    void set_protocol(const url_t& url, protocol_t protocol);

    // Any thread: the exchange goes over the server's connection, or waits for one.
    void submit(const h2_exchange_ptr& exchange);
    // The driver's thread: the server whose requests wait for a connection, if any.
    boost::optional<url_t> wanted();
    // The driver made a connection whose handshake chose h2; the requests waiting for it go over it.
    void adopt(const url_t& url, std::unique_ptr<http_transport_t::tls_stream_t> stream,
               std::chrono::steady_clock::duration timeout, const std::string& describe,
               std::shared_ptr<rate_limit_t> limit);
    // The driver could not connect: the requests waiting for the server fail with `failure`.
    void unreachable(const url_t& url, std::exception_ptr failure);

    // Early requests, by the path their answer goes to: one claimed is taken out; a later one for
    // the same path replaces (and abandons) an earlier.
    void keep_early(const std::string& path, const h2_exchange_ptr& exchange);
    h2_exchange_ptr claim_early(const std::string& path);
    // Abandons every early request nobody claimed.
    void drop_early();

    boost::asio::io_service& io_service() { return io_service_; }

private:
    struct server_t {
        protocol_t protocol = unknown;
        h2_connection_t* connection = nullptr;  // the usable one, if any
        std::deque<h2_exchange_ptr> waiting;
    };

    static std::string key(const url_t& url);
    void route(const h2_exchange_ptr& exchange);
    void again(const h2_exchange_ptr& exchange);

    boost::asio::io_service& io_service_;
    byte_counter_t& counter_;
    mutable std::mutex mutex_;  // guards servers_' protocols and early_
    std::map<std::string, server_t> servers_;
    std::map<std::string, h2_exchange_ptr> early_;
    // Every connection of the run, ended ones too: their cancelled handlers may still be queued.
    std::vector<std::unique_ptr<h2_connection_t>> connections_;
};

}  // namespace upd
