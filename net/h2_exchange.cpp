// One request over a multiplexed connection, between the thread that waits for it and the one that drives it.
#include "net/h2_exchange.hpp"

#include <boost/thread/lock_guard.hpp>

namespace upd {

h2_exchange_t::h2_exchange_t(url_t url, http_headers_t headers, std::uint64_t range_from, head_handler_t on_head,
                             data_handler_t on_data)
    : url_(std::move(url)),
      headers_(std::move(headers)),
      range_from_(range_from),
      on_head_(std::move(on_head)),
      on_data_(std::move(on_data)) {}

bool h2_exchange_t::take_head(const http_response_t& head) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (abandoned_ || ended_flag_) return false;
    try {
        on_head_(head);
        return true;
    } catch (...) {
        failure_ = std::current_exception();
        return false;
    }
}

bool h2_exchange_t::take_data(const char* data, std::size_t size) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (abandoned_ || ended_flag_ || failure_) return false;
    try {
        on_data_(data, size);
        received_ += size;
        return true;
    } catch (...) {
        failure_ = std::current_exception();
        return false;
    }
}

void h2_exchange_t::finish(std::exception_ptr failure) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (ended_flag_) return;
    // A handler's own failure comes first: it is why the stream stopped.
    if (!failure_) failure_ = failure;
    ended_flag_ = true;
    ended_.notify_all();
}

bool h2_exchange_t::over() const {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return ended_flag_ || abandoned_;
}

std::uint64_t h2_exchange_t::received() const {
    boost::lock_guard<boost::mutex> lock(mutex_);
    return received_;
}

void h2_exchange_t::wait() {
    boost::unique_lock<boost::mutex> lock(mutex_);
    while (!ended_flag_) ended_.wait(lock);
    if (failure_) std::rethrow_exception(failure_);
}

void h2_exchange_t::abandon() {
    boost::lock_guard<boost::mutex> lock(mutex_);
    abandoned_ = true;
}

}  // namespace upd
