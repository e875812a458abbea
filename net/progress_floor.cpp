// The least a download must bring in each window of time, so that a crawling server is dropped.
#include "net/progress_floor.hpp"

#include <algorithm>

namespace upd {

void progress_floor_t::start(clock::time_point now, clock::duration window, boost::optional<std::uint64_t> rest) {
    started_ = true;
    window_ = std::max(window, clock::duration(std::chrono::milliseconds(1)));
    window_end_ = now + window_;
    got_ = 0;
    rest_ = rest;
}

bool progress_floor_t::add(std::uint64_t n, clock::time_point now) {
    while (started_ && now >= window_end_) {
        if (got_ < quota()) return false;
        if (rest_) *rest_ -= std::min(*rest_, got_);
        window_end_ += window_;
        got_ = 0;
    }
    got_ += n;
    return true;
}

std::uint64_t progress_floor_t::quota() const {
    const auto ms = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(window_).count());
    const std::uint64_t full = std::max<std::uint64_t>(1, bytes_per_second * ms / 1000);
    return rest_ ? std::min(full, *rest_) : full;
}

}  // namespace upd
