// The update engine's door to the network: GET a URL into memory or into a file.
#include "net/downloader.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"
#include "net/http_fields.hpp"
#include "net/server_failure.hpp"

#include <boost/filesystem/exception.hpp>
#include <boost/signals2/shared_connection_block.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace upd {

namespace {

// A 206 that does not continue the part, or a 416: the file starts again from its first byte.
struct restart_t {};

[[noreturn]] void throw_limit_reached(std::uint64_t limit, const url_t& url) {
    throw server_failure_t(tvk::EC_LIMIT_REACHED,
                           "Body exceeds the limit of " + std::to_string(limit) + " bytes: " + url.to_string(),
                           "larger than " + std::to_string(limit) + " bytes");
}

// A part emptied before its file starts again from the first byte. When that fails the file's
// download fails with it: written over from offset 0, the part would keep old bytes after the new.
void empty_part(int fd, const std::string& part) {
    if (::ftruncate(fd, 0) != 0) throw boost::filesystem::filesystem_error("write", part, last_errno());
}

// The part a download continues: the regular file at `part`, opened for appending without
// following a link or blocking on a FIFO; a fresh one when there is none or something else
// stands there.
int open_part(const std::string& part, std::uint64_t& size) {
    boost::system::error_code ec;
    int fd = ::open(part.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        size = static_cast<std::uint64_t>(st.st_size);
        return fd;
    }
    if (fd >= 0) ::close(fd);
    size = 0;
    fd = create_fresh(part.c_str(), ec);
    if (fd < 0) throw boost::filesystem::filesystem_error("open", part, ec);
    return fd;
}

}  // namespace

downloader_t::downloader_t(boost::asio::io_service& io_service, byte_counter_t& counter)
    : connection_(io_service, counter) {
    connection_.response_received.connect([this](const http_response_t& response) { on_response(response); });
    connection_.set_method("GET");
    set_keep_alive(true);
}

void downloader_t::add_header(const std::string& name, const std::string& value) {
    added_.add(name, value);
    set_keep_alive(keep_alive_);
}

void downloader_t::set_keep_alive(bool keep_alive) {
    keep_alive_ = keep_alive;
    connection_.set_keep_alive(keep_alive);
    // A connection per request says so, as the first of the extra headers.
    http_headers_t headers;
    if (!keep_alive) headers.add("Connection", "close");
    headers.add("Accept", "*/*");
    headers.append(added_);
    connection_.set_headers(headers);
}

// A 200 answer, or the 206 that continues the part asked for; throwing here ends the exchange
// before any body byte is passed on.
void downloader_t::on_response(const http_response_t& response) {
    LOG_DEBUG("HTTP status " << response.status() << " " << response.reason());
    const int status = response.status();
    restarted_ = false;
    if (status == 200) {
        restarted_ = range_from_ > 0;  // the whole file after all
        connection_.set_body_offset(0);
        return;
    }
    if (status == 206 && range_from_ > 0) {
        const auto range = content_range(header_value(response.headers(), "Content-Range"));
        if (!range || range->first != range_from_) throw restart_t();
        connection_.set_body_offset(range_from_);
        return;
    }
    if (status == 416 && range_from_ > 0) throw restart_t();
    if (status == 404)
        throw server_failure_t(tvk::EC_NO_SUCH_ENTRY, error_code_text(tvk::EC_NO_SUCH_ENTRY), "status 404");
    long long wait = -1;
    if (status == 429 || status == 503) {
        wait = retry_after(header_value(response.headers(), "Retry-After"), std::time(nullptr), max_server_wait)
                   .value_or(-1);
    }
    throw http_status_error_t(tvk::EC_UNEXPECTED_ERROR, "HTTP status " + std::to_string(status), status, wait);
}

// Called from a catch block: a network failure on the way to an address costs that address, and
// the next one is tried; with none left, the server has failed for the reason the last one gave.
// Any other failure is thrown again, and so is one through a proxy that had accepted the
// connection: it is the update server's, and the proxy's addresses stay for the servers after it.
void downloader_t::move_on(const std::exception& e, bool kept) {
    const tvk::ErrorCode code = to_error_code(error_code_of(e));
    const bool network = code == tvk::EC_NETWORK_ERROR || code == tvk::EC_NETWORK_TIMEDOUT;
    // A transfer cut after its body began was the transfer's failure, not the address's: the
    // address stays, and what arrived is kept for the next request to continue.
    const auto* failure = dynamic_cast<const server_failure_t*>(&e);
    if (failure && kept && network && connection_.body_received() > 0) {
        server_failure_t cut(*failure);
        cut.set_progressed();
        throw cut;
    }
    if (!network || (connection_.through_proxy() && connection_.reached_endpoint()) || connection_.body_received() > 0)
        throw;
    LOG_DEBUG(exception_text(e));
    connection_.next_endpoint();
    if (connection_.endpoint_queue().empty()) {
        throw server_failure_t(tvk::EC_NO_UPDATE_SERVERS, error_code_text(tvk::EC_NO_UPDATE_SERVERS),
                               failure ? failure->cause() : exception_text(e));
    }
}

std::vector<char> downloader_t::get_as_buffer(const url_t& url, std::size_t limit) {
    LOG_DEBUG("Downloading " << url.to_string());
    connection_.open(url);
    range_from_ = 0;
    connection_.set_range(0);
    connection_.set_body_limit(limit);
    for (;;) {
        std::vector<char> body;
        boost::signals2::scoped_connection listener =
            connection_.data_received.connect([&body, &url, limit](const std::vector<char>& chunk) {
                // A server that never stops sending must not exhaust the memory.
                if (chunk.size() > limit - body.size()) throw_limit_reached(limit, url);
                // Grown in steps that stop at the limit: a body at the limit costs the limit, not
                // up to twice it.
                if (body.capacity() - body.size() < chunk.size()) {
                    body.reserve(std::min(limit, std::max(body.size() + chunk.size(), 2 * body.capacity())));
                }
                body.insert(body.end(), chunk.begin(), chunk.end());
            });
        try {
            connection_.execute();
            return body;
        } catch (const std::exception& e) {
            move_on(e, false);
        }
    }
}

std::uint64_t downloader_t::get_to_file(const url_t& url, const boost::filesystem::path& path,
                                        boost::optional<std::uint64_t> limit, bool resume) {
    LOG_DEBUG("Downloading " << url.to_string());
    connection_.open(url);
    const std::string target = path.string(), part = resume ? target + ".part" : target;
    for (;;) {
        std::uint64_t offset = 0;
        fd_guard_t fd;
        if (resume) {
            fd.reset(open_part(part, offset));
            // A part that cannot be continued within the limit is started again.
            if (limit && offset >= *limit) offset = 0, empty_part(fd.get(), part);
        } else {
            boost::system::error_code open_error;
            fd.reset(create_fresh(part.c_str(), open_error));
            if (fd.get() < 0) throw boost::filesystem::filesystem_error("open", path, open_error);
        }
        range_from_ = offset;
        connection_.set_range(offset);
        connection_.set_body_limit(limit);  // a server may answer with the whole file
        std::uint64_t written = 0;
        try {
            {
                boost::signals2::scoped_connection listener = connection_.data_received.connect(
                    [this, &fd, &written, &offset, &limit, &url, &part](const std::vector<char>& chunk) {
                        if (restarted_) {
                            // A 200 to a range request: the whole file, from its first byte.
                            empty_part(fd.get(), part);
                            offset = 0, restarted_ = false;
                        }
                        if (limit && chunk.size() > *limit - offset - written) throw_limit_reached(*limit, url);
                        write_all(fd.get(), chunk.data(), chunk.size());
                        written += chunk.size();
                    });
                connection_.execute();
            }
            if (restarted_) {  // a whole file with an empty body
                empty_part(fd.get(), part);
                offset = 0;
            }
            if (fd.close_checked() != 0) {
                // A delayed write error shows up here; the file is not complete.
                throw boost::system::system_error(errno, boost::system::system_category(), "close");
            }
            if (resume && ::rename(part.c_str(), target.c_str()) != 0)
                throw boost::filesystem::filesystem_error("rename", part, last_errno());
            return offset;
        } catch (const restart_t&) {
            LOG_DEBUG("Range: " << url.to_string() << " starts again");
            empty_part(fd.get(), part);
            fd.reset();
        } catch (const std::exception& e) {
            // What arrived stays for the next request of this file, when it is to be continued; once
            // closed, the part holds what was written.
            struct stat st;
            const bool empty = fd.get() < 0 ? offset + written == 0 : ::fstat(fd.get(), &st) == 0 && st.st_size == 0;
            fd.reset();
            // A part that filled the disk goes: kept, it would keep the disk full.
            const bool dropped = !resume || empty || out_of_space(e);
            if (dropped) ::unlink(part.c_str());
            move_on(e, !dropped);
        } catch (...) {
            fd.reset();
            if (!resume) ::unlink(part.c_str());
            throw;
        }
    }
}

}  // namespace upd
