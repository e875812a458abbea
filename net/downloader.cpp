// The update engine's door to the network: GET a URL into memory or into a file.
#include "net/downloader.hpp"

#include "framework/cf_log.hpp"
#include "framework/cf_proto_exception.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_io.hpp"

#include <boost/filesystem/exception.hpp>
#include <boost/signals2/shared_connection_block.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace upd {

namespace {

// Only a 200 answer is wanted; throwing here ends the exchange before any body byte is passed on.
void on_response(const http_response_t& response) {
    LOG_DEBUG("HTTP status " << response.status() << " " << response.reason());
    if (response.status() == 200) {
        return;
    }
    if (response.status() == 404) {
        throw boost::system::system_error(tvk::make_error_code(tvk::EC_NO_SUCH_ENTRY));
    }
    throw tvk::EC_UNEXPECTED_ERROR;
}

// A network failure on the way to an address costs that address, and the next one is tried. Through
// a proxy, whatever fails once the proxy has accepted the connection is the update server's
// failure: the proxy's addresses stay for the servers after it.
bool moves_on(const http_connection_t& connection, const std::exception& e) {
    const tvk::ErrorCode code = to_error_code(error_code_of(e));
    return (code == tvk::EC_NETWORK_ERROR || code == tvk::EC_NETWORK_TIMEDOUT) &&
           !(connection.through_proxy() && connection.reached_endpoint());
}

[[noreturn]] void throw_limit_reached(std::uint64_t limit, const url_t& url) {
    throw cf_proto_exception_t(tvk::EC_LIMIT_REACHED, "Body exceeds the limit of " + std::to_string(limit) +
                                                          " bytes: " + url.to_string());
}

}  // namespace

downloader_t::downloader_t(boost::asio::io_service& io_service, progress_t& progress)
    : connection_(io_service, progress) {
    connection_.response_received.connect(&on_response);
    connection_.add_header("Connection", "close");
    connection_.add_header("Accept", "*/*");
    connection_.set_method("GET");
}

downloader_t::~downloader_t() = default;

void downloader_t::add_header(const std::string& name, const std::string& value) {
    connection_.add_header(name, value);
}

void downloader_t::set_proxy(const tvk::Proxy& proxy) { connection_.set_proxy(proxy); }

void downloader_t::set_timeout(std::chrono::steady_clock::duration timeout) {
    connection_.set_timeout(timeout);
}

std::vector<char> downloader_t::get_as_buffer(const url_t& url) {
    LOG_DEBUG("Downloading " << url.to_string());
    connection_.open(url);
    for (;;) {
        std::vector<char> body;
        boost::signals2::scoped_connection listener =
            connection_.data_received.connect([&body, &url](const std::vector<char>& chunk) {
                // A server that never stops sending must not exhaust the memory.
                if (chunk.size() > max_buffer_size - body.size()) {
                    throw_limit_reached(max_buffer_size, url);
                }
                // Grown in steps that stop at the limit: a body at the limit costs the limit, not
                // up to twice it.
                if (body.capacity() - body.size() < chunk.size()) {
                    body.reserve(std::min(max_buffer_size, std::max(body.size() + chunk.size(), 2 * body.capacity())));
                }
                body.insert(body.end(), chunk.begin(), chunk.end());
            });
        try {
            connection_.execute();
            return body;
        } catch (const std::exception& e) {
            if (!moves_on(connection_, e)) {
                throw;
            }
            LOG_DEBUG(exception_text(e));
            connection_.next_endpoint();
        }
    }
}

void downloader_t::get_to_file(const url_t& url, const boost::filesystem::path& path,
                               boost::optional<std::uint64_t> limit) {
    LOG_DEBUG("Downloading " << url.to_string());
    connection_.open(url);
    for (;;) {
        boost::system::error_code open_error;
        int fd = create_fresh(path.c_str(), open_error);
        if (fd < 0) throw boost::filesystem::filesystem_error("open", path, open_error);
        try {
            std::uint64_t written = 0;
            {
                boost::signals2::scoped_connection listener = connection_.data_received.connect(
                    [fd, &written, &limit, &url](const std::vector<char>& chunk) {
                        if (limit && chunk.size() > *limit - written) {
                            throw_limit_reached(*limit, url);
                        }
                        write_all(fd, chunk.data(), chunk.size());
                        written += chunk.size();
                    });
                connection_.execute();
            }
            const int closed = ::close(fd);
            fd = -1;
            if (closed != 0) {
                // A delayed write error shows up here; the file is not complete.
                throw boost::system::system_error(errno, boost::system::system_category(), "close");
            }
            return;
        } catch (const std::exception& e) {
            if (fd >= 0) {
                ::close(fd);
            }
            ::unlink(path.c_str());
            if (!moves_on(connection_, e)) {
                throw;
            }
            LOG_DEBUG(exception_text(e));
            connection_.next_endpoint();
        } catch (...) {
            if (fd >= 0) {
                ::close(fd);
            }
            ::unlink(path.c_str());
            throw;
        }
    }
}

}  // namespace upd
