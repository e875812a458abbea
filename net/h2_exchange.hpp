// One request over a multiplexed connection, between the thread that waits for it and the one that drives it.
#pragma once

#include "net/http_headers.hpp"
#include "net/http_response.hpp"
#include "net/url.hpp"

#include <boost/optional.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>

namespace upd {

// The driving thread hands it the answer's head and data, and its end; its owner waits for the
// end on any thread, or abandons it, after which nothing more reaches the owner's handlers (so a
// file they write to may be closed at once).
class h2_exchange_t {
public:
    using head_handler_t = std::function<void(const http_response_t&)>;    // may throw: the exchange fails
    using data_handler_t = std::function<void(const char*, std::size_t)>;  // may throw likewise

    h2_exchange_t(url_t url, http_headers_t headers, std::uint64_t range_from, head_handler_t on_head,
                  data_handler_t on_data);

    const url_t& url() const { return url_; }
    const http_headers_t& headers() const { return headers_; }
    std::uint64_t range_from() const { return range_from_; }

    // On the driving thread; false when the exchange is to stop (abandoned, or a handler threw).
    bool take_head(const http_response_t& head);
    bool take_data(const char* data, std::size_t size);
    // The end: no failure when the answer is complete.
    void finish(std::exception_ptr failure);
    // Whether the answer has ended or was abandoned: nothing more is wanted.
    bool over() const;
    // How many times it was sent, and the body bytes that reached its owner.
    unsigned sent = 0;
    std::uint64_t received() const;
    // The length the head announced for the body, and the bytes of the file before it (a
    // continued part's), for the words of a cut.
    boost::optional<std::uint64_t> length;
    std::uint64_t offset = 0;
    std::chrono::steady_clock::time_point heard;  // when the server last sent for it

    // Waits for the end (an interruption point) and throws its failure.
    void wait();
    // On the owner's thread: nothing more reaches its handlers.
    void abandon();
    // Anything its owner keeps with it (a prefetched file's transfer).
    std::shared_ptr<void> context;

private:
    const url_t url_;
    const http_headers_t headers_;
    const std::uint64_t range_from_;
    head_handler_t on_head_;
    data_handler_t on_data_;
    mutable boost::mutex mutex_;  // guards the rest, and the handlers' calls
    boost::condition_variable ended_;
    bool ended_flag_ = false, abandoned_ = false;
    std::uint64_t received_ = 0;
    std::exception_ptr failure_;
};

using h2_exchange_ptr = std::shared_ptr<h2_exchange_t>;

// The end of an exchange whose server chose HTTP/1.1 when the driver connected: its asker takes
// it over a connection of its own.
struct h2_declined_t : std::runtime_error {
    h2_declined_t() : std::runtime_error("HTTP/1.1 chosen") {}
};

}  // namespace upd
