// The update engine's door to the network: GET a URL into memory or into a file.
#pragma once

#include "framework/limits.hpp"
#include "net/byte_counter.hpp"
#include "net/http_connection.hpp"
#include "net/url.hpp"
#include "proxy.pb.h"

#include <boost/asio/io_service.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/optional.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace upd {

class h2_exchange_t;
class h2_pool_t;

// Accepts only a 200 answer (or the 206 that continues a part); a network failure or time-out moves
// on to the next address. The server's failures are server_failure_t, with the cause in words.
// With the run's h2_pool_t, an HTTPS server that chose HTTP/2 is asked over its one multiplexed
// connection instead of this downloader's own; the downloader that drives the pool makes those
// connections (its own offers HTTP/2 beside HTTP/1.1, and the server's choice decides).
class downloader_t {
public:
    downloader_t(boost::asio::io_service& io_service, byte_counter_t& counter);
    downloader_t(const downloader_t&) = delete;
    downloader_t& operator=(const downloader_t&) = delete;
    virtual ~downloader_t() = default;

    void add_header(const std::string& name, const std::string& value);
    // Whether the connection is kept between requests (the default); without, each request says
    // "Connection: close".
    void set_keep_alive(bool keep_alive);
    void set_proxy(const tvk::Proxy& proxy) { connection_.set_proxy(proxy); }
    void set_timeout(std::chrono::steady_clock::duration timeout) { connection_.set_timeout(timeout); }
    void set_rate_limit(std::shared_ptr<rate_limit_t> limit) { connection_.set_rate_limit(std::move(limit)); }

    // Body of a 200 answer; EC_LIMIT_REACHED when it grows beyond `limit`.
    std::vector<char> get_as_buffer(const url_t& url, std::size_t limit = max_in_memory);
    // Writes the body of a 200 answer to `path` (created afresh); with a limit, a longer body fails
    // with EC_LIMIT_REACHED. On every failure after the file was opened, the file is removed.
    // With `resume`, the body goes to PATH.part first, which becomes `path` once complete: a failure
    // keeps what arrived there, and the next call continues it with a Range request (a server that
    // does not continue it gets the file from its first byte). Returns the bytes that came from an
    // earlier part: 0 for a whole download.
    std::uint64_t get_to_file(const url_t& url, const boost::filesystem::path& path,
                              boost::optional<std::uint64_t> limit = boost::none, bool resume = false);

    // The proxy's challenge that `other` met, answered at once instead of met again.
    void share_proxy_challenge(const downloader_t& other) {
        connection_.set_proxy_challenge(other.connection_.shared_proxy_challenge());
    }

    // Serves the servers that chose HTTP/2 over `pool`; `drives`: this downloader's thread runs
    // the pool's io_service (its own) and makes its connections.
    void set_pool(h2_pool_t* pool, bool drives);
    // Starts early the request that get_to_file() will make with the same arguments, when it
    // goes over a multiplexed connection; does nothing otherwise.
    void prefetch(const url_t& url, const boost::filesystem::path& path, boost::optional<std::uint64_t> limit);
    // Abandons what was started early and never asked for.
    void drop_prefetched();
    // The driver: runs the pool's connections until `done` (asked after each event); wake() from
    // any thread has it ask again.
    void drive_until(const std::function<bool()>& done);
    void wake();

    // Whether a 200 or 206 answer to a request for bytes from `range_from` on is taken: true when
    // it brings the whole file after all. Throws the server's failure otherwise.
    static bool accept(const http_response_t& response, std::uint64_t range_from);

    // test hook: begin
    endpoint_queue_t& endpoint_queue() { return connection_.endpoint_queue(); }
    // test hook: end

private:
    struct file_body_t;

    void on_response(const http_response_t& response);
    // Called from a catch block: see downloader.cpp. `kept`: what arrived stays to be continued.
    void move_on(const std::exception& e, bool kept);
    // Whether `url` goes over a multiplexed connection; the driver asks a new server first.
    bool multiplexed(const url_t& url);
    // The driver's connection to the server of `url` for the pool, offering HTTP/2.
    void connect(const url_t& url);
    void await(const std::shared_ptr<h2_exchange_t>& exchange);
    std::shared_ptr<h2_exchange_t> start(const url_t& url, const std::shared_ptr<file_body_t>& body);
    std::vector<char> get_as_buffer_h2(const url_t& url, std::size_t limit);
    std::uint64_t get_to_file_h2(const url_t& url, const boost::filesystem::path& path,
                                 boost::optional<std::uint64_t> limit, bool resume);

    http_connection_t connection_;
    http_headers_t added_;
    http_headers_t h2_headers_;  // of each multiplexed request
    h2_pool_t* pool_ = nullptr;
    bool drives_ = false;
    bool keep_alive_ = true;
    std::uint64_t range_from_ = 0;  // of the request under way
    bool restarted_ = false;        // its answer is the whole file after all
};

}  // namespace upd
