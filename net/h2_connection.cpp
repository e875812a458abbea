// One HTTP/2 connection to a server: every request of its queue in flight at once over one TLS stream.
#include "net/h2_connection.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "net/http_fields.hpp"
#include "net/server_failure.hpp"

#include <boost/asio/ssl/error.hpp>
#include <boost/asio/write.hpp>

#include <nghttp2/nghttp2.h>

namespace upd {

namespace asio = boost::asio;
using boost::system::error_code;
using clock_type = std::chrono::steady_clock;

namespace {

std::string seconds_text(clock_type::duration d) {
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return std::to_string(ms < 1000 ? 1 : (ms + 999) / 1000) + " s";
}

// How often the clock looks at the streams; a longer gap means nobody drove the connection, and
// the silence it saw was this side's.
constexpr std::chrono::milliseconds tick_period{500};

}  // namespace

h2_connection_t::h2_connection_t(asio::io_service& io_service, std::unique_ptr<http_transport_t::tls_stream_t> stream,
                                 byte_counter_t& counter, clock_type::duration timeout, std::string describe,
                                 again_t again, std::shared_ptr<rate_limit_t> limit)
    : stream_(std::move(stream)),
      counter_(counter),
      timeout_(timeout),
      describe_(std::move(describe)),
      again_(std::move(again)),
      session_(*this),
      timer_(io_service),
      limit_(std::move(limit)),
      held_timer_(io_service) {
    last_tick_ = clock_type::now();
    // Small frames (a request, a window update) go out while answers are owed: Nagle's wait for
    // their acknowledgement would hold each for the peer's delayed ACK.
    error_code ignored;
    stream_->next_layer().set_option(asio::ip::tcp::no_delay(true), ignored);
    flush();  // the settings and the window, before anything is asked
    read();
    tick();
}

h2_connection_t::~h2_connection_t() { close(); }

void h2_connection_t::close() {
    error_code ignored;
    timer_.cancel(ignored);
    held_timer_.cancel(ignored);
    if (!stream_) return;
    stream_->next_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    stream_->next_layer().close(ignored);
}

void h2_connection_t::submit(const h2_exchange_ptr& exchange) {
    if (ended_) return again_(exchange);
    queue_.push_back(exchange);
    start_queued();
    flush();
}

void h2_connection_t::start_queued() {
    while (!queue_.empty() && usable() && session_.open_streams() < session_.stream_limit()) {
        const h2_exchange_ptr next = std::move(queue_.front());
        queue_.pop_front();
        if (next->over()) continue;  // its owner no longer waits
        const url_t& url = next->url();
        http_headers_t headers = next->headers();
        if (next->range_from() > 0) headers.add("Range", "bytes=" + std::to_string(next->range_from()) + "-");
        const std::string authority = url.host() + (url.port() ? ":" + std::to_string(url.port()) : "");
        try {
            const std::int32_t stream = session_.request(authority, "/" + url.path(), headers);
            ++next->sent;
            next->heard = clock_type::now();
            streams_[stream] = next;
        } catch (const std::exception&) {
            next->finish(std::current_exception());
        }
    }
    // A server going away takes no more: what waits is asked elsewhere.
    if (!usable())
        while (!queue_.empty()) again_(queue_.front()), queue_.pop_front();
}

// The steps: reading and writing at once, and a clock.

void h2_connection_t::read() {
    std::size_t size = http_transport_t::receive_buffer_size;
    if (limit_) {
        clock_type::time_point until;
        size = limit_->reserve(size, clock_type::now(), until);
        if (size == 0) {
            held_ = true;
            held_since_ = clock_type::now();
            held_timer_.expires_at(until);
            return held_timer_.async_wait([this](const error_code& ec) { on_held(ec); });
        }
    }
    buffer_.resize(size);
    stream_->async_read_some(asio::buffer(buffer_), [this](const error_code& ec, std::size_t n) { on_read(ec, n); });
}

void h2_connection_t::on_held(const error_code& ec) {
    if (ec == asio::error::operation_aborted || ended_) return;
    count_held(clock_type::now());
    held_ = false;
    if (ec) return end(failure(tvk::EC_NETWORK_ERROR, "Network timer: " + ec.message(), cause_of(ec)));
    read();
}

void h2_connection_t::count_held(clock_type::time_point now) {
    if (!held_) return;
    const auto held = now - held_since_;
    held_since_ = now;
    for (auto& s : streams_) s.second->heard += held;
    floor_.pause(held);
    if (data_at_ != clock_type::time_point()) data_at_ += held;
}

void h2_connection_t::on_read(const error_code& ec, std::size_t n) {
    if (limit_) limit_->refund(buffer_.size() - n);
    if (ec == asio::error::operation_aborted || ended_) return;
    // Closed: what had begun was cut; what had not is asked again.
    if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) return end(nullptr);
    if (ec) return end(failure(tvk::EC_NETWORK_ERROR, "Receive: " + ec.message(), cause_of(ec)));
    counter_.add_received(static_cast<std::uint32_t>(n));
    try {
        session_.receive(buffer_.data(), n);
        start_queued();
        flush();
    } catch (const std::exception&) {
        return end(std::current_exception());
    }
    if (ended_) return;
    if (!session_.alive() && !writing_) return end(nullptr);
    read();
}

void h2_connection_t::flush() {
    if (writing_ || ended_) return;
    try {
        sending_ = session_.output();
    } catch (const std::exception&) {
        return end(std::current_exception());
    }
    if (sending_.empty()) return;
    writing_ = true;
    write_since_ = clock_type::now();
    asio::async_write(*stream_, asio::buffer(sending_),
                      [this](const error_code& ec, std::size_t n) { on_written(ec, n); });
}

void h2_connection_t::on_written(const error_code& ec, std::size_t n) {
    if (ec == asio::error::operation_aborted || ended_) return;
    writing_ = false;
    if (ec) return end(failure(tvk::EC_NETWORK_ERROR, "Send: " + ec.message(), cause_of(ec)));
    counter_.add_sent(static_cast<std::uint32_t>(n));
    flush();
    if (!writing_ && !session_.alive()) end(nullptr);
}

void h2_connection_t::tick() {
    timer_.expires_after(tick_period);
    timer_.async_wait([this](const error_code& ec) { on_tick(ec); });
}

void h2_connection_t::on_tick(const error_code& ec) {
    if (ec == asio::error::operation_aborted || ended_) return;
    const auto now = clock_type::now();
    count_held(now);
    if (now - last_tick_ > 4 * tick_period) {
        // Nobody drove the connection for a while: its silence was this side's.
        for (auto& s : streams_) s.second->heard = now;
        floor_ = progress_floor_t();
        write_since_ = now;
    }
    last_tick_ = now;
    if (writing_ && now - write_since_ > timeout_)
        return end(failure(tvk::EC_NETWORK_TIMEDOUT, "Send: Network operation timed out",
                           "no progress for " + seconds_text(timeout_)));
    // A server that sends nothing has made no progress at all, before it is merely slow.
    check_silence(now);
    if (!keeps_pace(0, now)) return end(too_slow());
    start_queued();
    flush();
    tick();
}

// A stream that brings nothing for the time-out fails its request; the others go on.
void h2_connection_t::check_silence(clock_type::time_point now) {
    for (auto it = streams_.begin(); it != streams_.end();) {
        const auto [stream, exchange] = *it++;
        if (now - exchange->heard <= timeout_) continue;
        session_.cancel(stream);
        exchange->finish(failure(tvk::EC_NETWORK_TIMEDOUT, "IO: Network operation timed out",
                                 "no progress for " + seconds_text(timeout_)));
    }
}

// The session's news, while it reads.

void h2_connection_t::on_head(std::int32_t stream, const http_response_t& head) {
    const auto it = streams_.find(stream);
    if (it == streams_.end()) return;
    h2_exchange_t& exchange = *it->second;
    exchange.heard = clock_type::now();
    exchange.length = content_length(head.headers());
    exchange.offset = head.status() == 206 ? exchange.range_from() : 0;
    if (!exchange.take_head(head)) session_.cancel(stream);
}

void h2_connection_t::on_data(std::int32_t stream, const char* data, std::size_t size) {
    const auto now = clock_type::now();
    const bool paced = keeps_pace(size, now);
    data_at_ = now;
    if (!paced) return end(too_slow());
    const auto it = streams_.find(stream);
    if (it == streams_.end()) return;
    it->second->heard = now;
    if (!it->second->take_data(data, size)) session_.cancel(stream);
}

void h2_connection_t::on_closed(std::int32_t stream, std::uint32_t error) {
    const auto it = streams_.find(stream);
    if (it == streams_.end()) return;
    const h2_exchange_ptr exchange = it->second;
    streams_.erase(it);
    if (streams_.empty()) floor_ = progress_floor_t(), forgiven_ = false;  // idle: nothing is owed
    if (error == NGHTTP2_NO_ERROR) return exchange->finish(nullptr);
    // Never begun by the server (refused, or above its GOAWAY): asked again, once.
    if (error == NGHTTP2_REFUSED_STREAM && exchange->received() == 0 && exchange->sent < 2) return again_(exchange);
    // Counted in the file's bytes, as a cut of HTTP/1.1 is: a continued part's own come first.
    const std::uint64_t got = exchange->received(), offset = exchange->offset;
    const std::string cause = exchange->length && got < *exchange->length
                                  ? "cut after " + std::to_string(offset + got) + " of " +
                                        std::to_string(offset + *exchange->length) + " bytes"
                                  : std::string("stream reset (") + nghttp2_http2_strerror(error) + ")";
    exchange->finish(failure(tvk::EC_NETWORK_ERROR, "Receive: " + cause, cause));
}

void h2_connection_t::end(std::exception_ptr why) {
    if (ended_) return;
    ended_ = true;
    close();
    if (why) {
        try {
            std::rethrow_exception(why);
        } catch (const std::exception& e) {
            LOG_DEBUG("HTTP/2 " << describe_ << ": " << exception_text(e));
        }
    }
    auto streams = std::move(streams_);
    for (auto& s : streams) {
        if (why || s.second->sent >= 2 || s.second->received() > 0)
            s.second->finish(why ? why
                                 : failure(tvk::EC_NETWORK_ERROR, "Receive: connection closed", "connection closed"));
        else
            again_(s.second);
    }
    auto queue = std::move(queue_);
    for (auto& q : queue) why ? q->finish(why) : again_(q);
}

// A floor window that falls short while no data has come for half a window is a stall, not a
// crawl: each silent stream meets its own time-out, and the floor starts again with the next
// byte. Once only: a second short window before a full one fails the connection.
bool h2_connection_t::keeps_pace(std::size_t n, clock_type::time_point now) {
    if (!floor_.started()) {
        if (n == 0) return true;
        floor_.start(now, timeout_, boost::none);
    }
    const auto window_end = floor_.window_end();
    if (floor_.add(n, now)) {
        if (floor_.window_end() != window_end) forgiven_ = false;  // a window was full
        return true;
    }
    if (forgiven_ || now - data_at_ < timeout_ / 2) return false;
    forgiven_ = true;
    floor_ = progress_floor_t();
    if (n) floor_.start(now, timeout_, boost::none), floor_.add(n, now);
    return true;
}

std::exception_ptr h2_connection_t::too_slow() const {
    const std::string cause = "under 1 KiB/s for " + seconds_text(timeout_);
    return failure(tvk::EC_NETWORK_TIMEDOUT, "IO: " + cause, cause);
}

std::exception_ptr h2_connection_t::failure(tvk::ErrorCode code, const std::string& what,
                                            const std::string& cause) const {
    return std::make_exception_ptr(server_failure_t(code, what + ": " + describe_, cause));
}

}  // namespace upd
