// One HTTP/2 connection to a server: every request of its queue in flight at once over one TLS stream.
#pragma once

#include "error.pb.h"
#include "net/byte_counter.hpp"
#include "net/h2_exchange.hpp"
#include "net/h2_session.hpp"
#include "net/http_headers.hpp"
#include "net/http_transport.hpp"
#include "net/progress_floor.hpp"
#include "net/rate_limit.hpp"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace upd {

// Takes over a TLS stream whose handshake chose h2 and drives it on its io_service's thread: reads
// and writes at once, up to the server's limit of streams (128 at most) and the rest queued.
// Every failure is the server's: a stream silent for the time-out fails its request; the bytes of
// all streams together must keep the pace of progress_floor_t, or the connection fails with every
// request on it, as on a protocol error or a flood. A request the server refused or left above its
// GOAWAY goes to `again` (sent once more elsewhere), as do those queued when the server ends it.
// Its reads draw from the run's rate limit, if any. No handler throws.
class h2_connection_t final : private h2_session_t::listener_t {
public:
    using again_t = std::function<void(const h2_exchange_ptr&)>;

    h2_connection_t(boost::asio::io_service& io_service, std::unique_ptr<http_transport_t::tls_stream_t> stream,
                    byte_counter_t& counter, std::chrono::steady_clock::duration timeout, std::string describe,
                    again_t again, std::shared_ptr<rate_limit_t> limit);
    h2_connection_t(const h2_connection_t&) = delete;
    h2_connection_t& operator=(const h2_connection_t&) = delete;
    ~h2_connection_t();

    // Sends the request when a stream is free.
    void submit(const h2_exchange_ptr& exchange);
    // Whether new requests may go over it.
    bool usable() const { return !ended_ && !session_.going_away(); }
    bool ended() const { return ended_; }
    // Stops every operation; queued handlers return at once once run.
    void close();

private:
    // The steps: reading, writing, the clock.
    void read();
    void on_read(const boost::system::error_code& ec, std::size_t n);
    void on_held(const boost::system::error_code& ec);
    // The time held since the last call is the client's: no stream's silence, no shortfall of the floor.
    void count_held(std::chrono::steady_clock::time_point now);
    void flush();
    void on_written(const boost::system::error_code& ec, std::size_t n);
    void tick();
    void on_tick(const boost::system::error_code& ec);

    void on_head(std::int32_t stream, const http_response_t& head) override;
    void on_data(std::int32_t stream, const char* data, std::size_t size) override;
    void on_closed(std::int32_t stream, std::uint32_t error) override;

    void start_queued();
    void check_silence(std::chrono::steady_clock::time_point now);
    // Counts `n` bytes against the floor of the whole connection: false when it fell short.
    bool keeps_pace(std::size_t n, std::chrono::steady_clock::time_point now);
    std::exception_ptr too_slow() const;
    // Ends the connection: open requests fail with `failure`; queued ones too, or go to `again`
    // when the server merely closed (no failure).
    void end(std::exception_ptr failure);
    std::exception_ptr failure(tvk::ErrorCode code, const std::string& what, const std::string& cause) const;

    std::unique_ptr<http_transport_t::tls_stream_t> stream_;
    byte_counter_t& counter_;
    std::chrono::steady_clock::duration timeout_;
    std::string describe_;
    again_t again_;
    h2_session_t session_;
    std::map<std::int32_t, h2_exchange_ptr> streams_;
    std::deque<h2_exchange_ptr> queue_;
    std::vector<char> buffer_;
    std::string sending_;
    bool writing_ = false, ended_ = false;
    std::chrono::steady_clock::time_point write_since_, last_tick_;
    progress_floor_t floor_;                         // over the data of every stream
    bool forgiven_ = false;                          // its last short window was a stall
    std::chrono::steady_clock::time_point data_at_;  // the last data of any stream
    boost::asio::steady_timer timer_;
    std::shared_ptr<rate_limit_t> limit_;
    boost::asio::steady_timer held_timer_;  // a read waits here while the limit holds it back
    bool held_ = false;
    std::chrono::steady_clock::time_point held_since_;
};

}  // namespace upd
