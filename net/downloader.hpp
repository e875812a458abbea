// The update engine's door to the network: GET a URL into memory or into a file.
#pragma once

#include "control/progress.hpp"
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

// Accepts only a 200 answer; a network failure or time-out moves on to the next address.
class downloader_t {
public:
    // The largest body that get_as_buffer keeps in memory.
    static constexpr std::size_t max_buffer_size = 33554432;

    downloader_t(boost::asio::io_service& io_service, progress_t& progress);
    downloader_t(const downloader_t&) = delete;
    downloader_t& operator=(const downloader_t&) = delete;
    virtual ~downloader_t();

    void add_header(const std::string& name, const std::string& value);
    void set_proxy(const tvk::Proxy& proxy);
    void set_timeout(std::chrono::steady_clock::duration timeout);

    // Body of a 200 answer; EC_LIMIT_REACHED when it grows beyond max_buffer_size.
    std::vector<char> get_as_buffer(const url_t& url);
    // Writes the body of a 200 answer to `path`; with a limit, a longer body fails with
    // EC_LIMIT_REACHED. On every failure after the file was opened, the file is removed.
    void get_to_file(const url_t& url, const boost::filesystem::path& path,
                     boost::optional<std::uint64_t> limit = boost::none);

    // The underlying connection, for callers that need its address queue.
    http_connection_t& connection() { return connection_; }

private:
    http_connection_t connection_;
};

}  // namespace upd
