// The least a download must bring in each window of time, so that a crawling server is dropped.
#pragma once

#include <boost/optional.hpp>

#include <chrono>
#include <cstdint>

namespace upd {

// From the first body byte, each window (the network time-out) must bring 1 KiB per second of
// its length, or the whole rest of the body when less remains: a server that keeps every read
// within the time-out but sends next to nothing fails all the same, and a steady 20 kbit/s link
// passes. Only time and counts: the connection feeds it.
class progress_floor_t {
public:
    using clock = std::chrono::steady_clock;

    static constexpr std::uint64_t bytes_per_second = 1024;

    // The first body byte is about to be counted; `rest` is what the body still holds, when known.
    void start(clock::time_point now, clock::duration window, boost::optional<std::uint64_t> rest);
    bool started() const { return started_; }

    // Counts n bytes that arrived at `now`: false when a window that ended before fell short.
    bool add(std::uint64_t n, clock::time_point now);

    clock::time_point window_end() const { return window_end_; }
    // Time the client itself held the reads back does not count against the server.
    void pause(clock::duration held) {
        if (started_) window_end_ += held;
    }

private:
    std::uint64_t quota() const;

    bool started_ = false;
    clock::duration window_{};
    clock::time_point window_end_;
    std::uint64_t got_ = 0;                // in the current window
    boost::optional<std::uint64_t> rest_;  // at the start of the current window
};

}  // namespace upd
