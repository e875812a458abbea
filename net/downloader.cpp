// The update engine's door to the network: GET a URL into memory or into a file.
#include "net/downloader.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"
#include "net/h2_exchange.hpp"
#include "net/http_fields.hpp"
#include "net/server_failure.hpp"
#if TAVIK_HTTP2
#include "net/h2_pool.hpp"
#endif

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/signals2/shared_connection_block.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

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

// A body's way into a file: the part it continues, the byte its request asks from, what arrived,
// and what a failure leaves. Shared by the exchange that fills it and the call that waits for it.
struct downloader_t::file_body_t {
    url_t url;
    std::string target, part;
    boost::optional<std::uint64_t> limit;
    bool resume;
    fd_guard_t fd;
    std::uint64_t offset = 0, written = 0;
    bool restarted = false;  // the answer is the whole file after all

    file_body_t(const url_t& u, const boost::filesystem::path& path, boost::optional<std::uint64_t> l, bool r)
        : url(u), target(path.string()), part(r ? target + ".part" : target), limit(l), resume(r) {}

    // Opens the part to continue (or the file afresh); `offset` is where the request starts.
    void open() {
        offset = written = 0, restarted = false;
        if (resume) {
            fd.reset(open_part(part, offset));
            // A part that cannot be continued within the limit is started again.
            if (limit && offset >= *limit) offset = 0, empty_part(fd.get(), part);
        } else {
            boost::system::error_code open_error;
            fd.reset(create_fresh(part.c_str(), open_error));
            if (fd.get() < 0) throw boost::filesystem::filesystem_error("open", target, open_error);
        }
    }

    void take(const char* data, std::size_t size) {
        if (restarted) {
            // A 200 to a range request: the whole file, from its first byte.
            empty_part(fd.get(), part);
            offset = 0, restarted = false;
        }
        if (limit && size > *limit - offset - written) throw_limit_reached(*limit, url);
        write_all(fd.get(), data, size);
        written += size;
    }

    // The body ended: the file is complete. Returns the bytes that came from an earlier part.
    std::uint64_t finish() {
        if (restarted) {  // a whole file with an empty body
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
    }

    // After a failure: whether what arrived stays to be continued (else it is removed). Once
    // closed, the part holds what was written.
    bool keep_after(const std::exception& e) {
        struct stat st;
        const bool empty = fd.get() < 0 ? offset + written == 0 : ::fstat(fd.get(), &st) == 0 && st.st_size == 0;
        fd.reset();
        // A part that filled the disk goes: kept, it would keep the disk full.
        const bool dropped = !resume || empty || out_of_space(e);
        if (dropped) ::unlink(part.c_str());
        return !dropped;
    }
};

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
    h2_headers_ = http_headers_t();
    h2_headers_.add("Accept", "*/*");
    h2_headers_.append(added_);
}

bool downloader_t::accept(const http_response_t& response, std::uint64_t range_from) {
    LOG_DEBUG("HTTP status " << response.status() << " " << response.reason());
    const int status = response.status();
    if (status == 200) return range_from > 0;
    if (status == 206 && range_from > 0) {
        const auto range = content_range(header_value(response.headers(), "Content-Range"));
        if (!range || range->first != range_from) throw restart_t();
        return false;
    }
    if (status == 416 && range_from > 0) throw restart_t();
    if (status == 404)
        throw server_failure_t(tvk::EC_NO_SUCH_ENTRY, error_code_text(tvk::EC_NO_SUCH_ENTRY), "status 404");
    long long wait = -1;
    if (status == 429 || status == 503) {
        wait = retry_after(header_value(response.headers(), "Retry-After"), std::time(nullptr), max_server_wait)
                   .value_or(-1);
    }
    throw http_status_error_t(tvk::EC_UNEXPECTED_ERROR, "HTTP status " + std::to_string(status), status, wait);
}

// A 200 answer, or the 206 that continues the part asked for; throwing here ends the exchange
// before any body byte is passed on.
void downloader_t::on_response(const http_response_t& response) {
    restarted_ = false;
    restarted_ = accept(response, range_from_);
    connection_.set_body_offset(response.status() == 206 ? range_from_ : 0);
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
    if (multiplexed(url)) {
        try {
            return get_as_buffer_h2(url, limit);
        } catch (const h2_declined_t&) {
            // The server chose HTTP/1.1 when the driver met it.
        }
    }
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
    if (multiplexed(url)) {
        try {
            return get_to_file_h2(url, path, limit, resume);
        } catch (const h2_declined_t&) {
            // The server chose HTTP/1.1 when the driver met it.
        }
    }
    connection_.open(url);
    for (;;) {
        file_body_t body(url, path, limit, resume);
        body.open();
        range_from_ = body.offset;
        connection_.set_range(body.offset);
        connection_.set_body_limit(limit);  // a server may answer with the whole file
        try {
            {
                boost::signals2::scoped_connection listener =
                    connection_.data_received.connect([this, &body](const std::vector<char>& chunk) {
                        body.restarted = body.restarted || restarted_;
                        restarted_ = false;
                        body.take(chunk.data(), chunk.size());
                    });
                connection_.execute();
            }
            body.restarted = body.restarted || restarted_;
            return body.finish();
        } catch (const restart_t&) {
            LOG_DEBUG("Range: " << url.to_string() << " starts again");
            empty_part(body.fd.get(), body.part);
            body.fd.reset();
        } catch (const std::exception& e) {
            // What arrived stays for the next request of this file, when it is to be continued.
            move_on(e, body.keep_after(e));
        } catch (...) {
            body.fd.reset();
            if (!resume) ::unlink(body.part.c_str());
            throw;
        }
    }
}

#if TAVIK_HTTP2

void downloader_t::set_pool(h2_pool_t* pool, bool drives) {
    pool_ = pool;
    drives_ = drives;
}

bool downloader_t::multiplexed(const url_t& url) {
    // A connection per request, and plain HTTP, stay as they are.
    if (!pool_ || !keep_alive_ || !boost::algorithm::iequals(url.scheme(), "https")) return false;
    const auto protocol = pool_->protocol(url);
    if (protocol == h2_pool_t::unknown && drives_) connect(url);
    // A lane leaves a server not met yet to the driver, which connects offering HTTP/2; should
    // the server choose HTTP/1.1, the request ends in h2_declined_t and goes the lane's own way.
    return drives_ ? pool_->protocol(url) == h2_pool_t::h2 : protocol != h2_pool_t::http1;
}

void downloader_t::connect(const url_t& url) {
    connection_.open(url);
    connection_.set_offer_h2(true);
    connection_.set_connect_only(true);
    try {
        for (bool done = false; !done;) {
            try {
                connection_.execute();
                done = true;
            } catch (const std::exception& e) {
                move_on(e, false);
            }
        }
    } catch (...) {
        connection_.set_offer_h2(false), connection_.set_connect_only(false);
        throw;
    }
    connection_.set_offer_h2(false), connection_.set_connect_only(false);
    if (!connection_.h2_chosen()) return pool_->set_protocol(url, h2_pool_t::http1);  // kept for the request
    LOG_DEBUG("HTTP/2: " << url.host() << ":" << url.port());
    pool_->adopt(url, connection_.release(), connection_.timeout(), url.host() + ":" + std::to_string(url.port()),
                 connection_.rate_limit());
}

void downloader_t::drive_until(const std::function<bool()>& done) {
    if (!pool_ || !drives_) return;
    auto work = boost::asio::make_work_guard(pool_->io_service());
    while (!done()) {
        if (const auto url = pool_->wanted()) {
            try {
                connect(*url);
                if (pool_->protocol(*url) != h2_pool_t::h2)
                    pool_->unreachable(*url, std::make_exception_ptr(h2_declined_t()));
            } catch (const boost::thread_interrupted&) {
                throw;
            } catch (const std::exception&) {
                pool_->unreachable(*url, std::current_exception());
            }
            continue;
        }
        auto& io_service = pool_->io_service();
        io_service.restart();
        // A stop comes after an interruption: checked before and after, none is lost.
        boost::this_thread::interruption_point();
        io_service.run_one();
        boost::this_thread::interruption_point();
    }
}

void downloader_t::drop_prefetched() {
    if (pool_) pool_->drop_early();
}

void downloader_t::wake() {
    if (pool_) pool_->io_service().post([] {});
}

void downloader_t::await(const std::shared_ptr<h2_exchange_t>& exchange) {
    try {
        if (drives_) drive_until([&exchange] { return exchange->over(); });
        exchange->wait();
    } catch (const boost::thread_interrupted&) {
        exchange->abandon();
        throw;
    }
}

std::shared_ptr<h2_exchange_t> downloader_t::start(const url_t& url, const std::shared_ptr<file_body_t>& body) {
    const std::uint64_t from = body->offset;
    auto exchange = std::make_shared<h2_exchange_t>(
        url, h2_headers_, from, [body, from](const http_response_t& head) { body->restarted = accept(head, from); },
        [body](const char* data, std::size_t size) { body->take(data, size); });
    exchange->context = body;
    pool_->submit(exchange);
    return exchange;
}

void downloader_t::prefetch(const url_t& url, const boost::filesystem::path& path,
                            boost::optional<std::uint64_t> limit) {
    if (!multiplexed(url)) return;
    auto body = std::make_shared<file_body_t>(url, path, limit, true);
    body->open();
    pool_->keep_early(body->target, start(url, body));
}

std::uint64_t downloader_t::get_to_file_h2(const url_t& url, const boost::filesystem::path& path,
                                           boost::optional<std::uint64_t> limit, bool resume) {
    for (;;) {
        std::shared_ptr<h2_exchange_t> exchange = pool_->claim_early(path.string());
        std::shared_ptr<file_body_t> body;
        if (exchange) body = std::static_pointer_cast<file_body_t>(exchange->context);
        if (!body || body->url.to_string() != url.to_string() || body->limit != limit || body->resume != resume) {
            if (exchange) exchange->abandon();  // it writes nothing more to the part
            body = std::make_shared<file_body_t>(url, path, limit, resume);
            body->open();
            exchange = start(url, body);
        }
        try {
            await(exchange);
            return body->finish();
        } catch (const restart_t&) {
            LOG_DEBUG("Range: " << url.to_string() << " starts again");
            empty_part(body->fd.get(), body->part);
            body->fd.reset();
        } catch (const boost::thread_interrupted&) {
            body->fd.reset();
            throw;
        } catch (const std::exception& e) {
            exchange->abandon();
            const bool kept = body->keep_after(e);
            const auto* failure = dynamic_cast<const server_failure_t*>(&e);
            const tvk::ErrorCode code = to_error_code(error_code_of(e));
            // A transfer cut after its body began keeps what arrived, for the next request to continue.
            if (!failure || !kept || exchange->received() == 0 ||
                (code != tvk::EC_NETWORK_ERROR && code != tvk::EC_NETWORK_TIMEDOUT))
                throw;
            server_failure_t cut(*failure);
            cut.set_progressed();
            throw cut;
        }
    }
}

std::vector<char> downloader_t::get_as_buffer_h2(const url_t& url, std::size_t limit) {
    auto body = std::make_shared<std::vector<char>>();
    auto exchange = std::make_shared<h2_exchange_t>(
        url, h2_headers_, 0, [](const http_response_t& head) { accept(head, 0); },
        [body, url, limit](const char* data, std::size_t size) {
            if (size > limit - body->size()) throw_limit_reached(limit, url);
            if (body->capacity() - body->size() < size)
                body->reserve(std::min(limit, std::max(body->size() + size, 2 * body->capacity())));
            body->insert(body->end(), data, data + size);
        });
    pool_->submit(exchange);
    try {
        await(exchange);
    } catch (const std::exception&) {
        exchange->abandon();
        throw;
    }
    return std::move(*body);
}

#else

void downloader_t::set_pool(h2_pool_t*, bool) {}
bool downloader_t::multiplexed(const url_t&) { return false; }
void downloader_t::prefetch(const url_t&, const boost::filesystem::path&, boost::optional<std::uint64_t>) {}
void downloader_t::drive_until(const std::function<bool()>&) {}
void downloader_t::wake() {}
void downloader_t::drop_prefetched() {}
std::vector<char> downloader_t::get_as_buffer_h2(const url_t&, std::size_t) { return {}; }
std::uint64_t downloader_t::get_to_file_h2(const url_t&, const boost::filesystem::path&, boost::optional<std::uint64_t>,
                                           bool) {
    return 0;
}

#endif

}  // namespace upd
