// One run's cap on the bytes it receives each second, shared by all of its connections.
#pragma once

#include <boost/optional.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace upd {

// A token bucket that starts empty and holds at most one second's worth, so that a run never
// bursts beyond its rate. Each read reserves what it may receive before it is issued and gives
// back what did not come: connections in several threads draw from one bucket.
class rate_limit_t {
public:
    using clock = std::chrono::steady_clock;

    static constexpr std::uint64_t lowest = 1024, highest = std::uint64_t{1024} << 20;

    // "RATE": bytes a second in decimal digits with an optional suffix k (1024) or M (1024 * 1024),
    // from 1k to 1024M; none for anything else.
    static boost::optional<std::uint64_t> parse(const std::string& text);

    rate_limit_t(std::uint64_t bytes_per_second, clock::time_point now);
    rate_limit_t(const rate_limit_t&) = delete;
    rate_limit_t& operator=(const rate_limit_t&) = delete;

    // Reserves up to `wanted` bytes for a read issued now: the bytes granted, or 0 and the time
    // to ask again in `until`. A read waits for a share worth a system call, not for each byte.
    std::size_t reserve(std::size_t wanted, clock::time_point now, clock::time_point& until);
    // Gives back what a read reserved but did not receive.
    void refund(std::size_t n);

private:
    void refill(clock::time_point now);

    std::mutex mutex_;
    const std::uint64_t rate_;
    std::uint64_t tokens_ = 0;
    clock::time_point filled_at_;
};

}  // namespace upd
