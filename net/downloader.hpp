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
#include <string>
#include <vector>

namespace upd {

// Accepts only a 200 answer (or the 206 that continues a part); a network failure or time-out moves
// on to the next address. The server's failures are server_failure_t, with the cause in words.
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

    // The underlying connection, for callers that need its address queue.
    http_connection_t& connection() { return connection_; }

private:
    void on_response(const http_response_t& response);
    // Called from a catch block: see downloader.cpp. `kept`: what arrived stays to be continued.
    void move_on(const std::exception& e, bool kept);

    http_connection_t connection_;
    http_headers_t added_;
    bool keep_alive_ = true;
    std::uint64_t range_from_ = 0;  // of the request under way
    bool restarted_ = false;        // its answer is the whole file after all
};

}  // namespace upd
