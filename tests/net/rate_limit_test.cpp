// The run's rate limit: what a rate is, and a bucket that never lets more through than the rate.
#include "net/rate_limit.hpp"

#include <gtest/gtest.h>

namespace {

using upd::rate_limit_t;

TEST(rate_limit, rates_from_1k_to_1024M) {
    const std::pair<const char*, std::uint64_t> rows[] = {{"1k", 1024},     {"1024", 1024},
                                                          {"1023", 0},      {"1024M", 1u << 30},
                                                          {"1025M", 0},     {"0", 0},
                                                          {"-1", 0},        {"1.5k", 0},
                                                          {"2K", 0},        {"k", 0},
                                                          {"", 0},          {"2M ", 0},
                                                          {"00002k", 2048}, {"18446744073709551617", 0}};
    for (const auto& [text, bytes] : rows) EXPECT_EQ(rate_limit_t::parse(text).value_or(0), bytes) << text;
}

TEST(rate_limit, no_more_than_the_rate_and_a_burst_of_one_second) {
    const rate_limit_t::clock::time_point t0{};
    rate_limit_t limit(1 << 20, t0);
    auto now = t0, until = t0;
    std::uint64_t got = 0;
    // Reads of 64 KiB, each given back a quarter: 4 MiB take 4 s from an empty bucket.
    while (got < 4u << 20) {
        const std::size_t n = limit.reserve(65536, now, until);
        if (n == 0) {
            ASSERT_GT(until, now);
            now = until;
            continue;
        }
        limit.refund(n / 4), got += n - n / 4;
    }
    EXPECT_NEAR(std::chrono::duration<double>(now - t0).count(), 4.0, 0.15);
    // Idle for a minute: one second's worth at once, then a wait.
    now += std::chrono::seconds(60);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(limit.reserve(65536, now, until), 65536u) << i;
    EXPECT_EQ(limit.reserve(65536, now, until), 0u);
    EXPECT_EQ(until, now + std::chrono::milliseconds(62) + std::chrono::microseconds(500));
}

}  // namespace
