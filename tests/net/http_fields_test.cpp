// Lengths, ranges, retry times; the pace a body must keep.
#include "net/http_fields.hpp"
#include "net/progress_floor.hpp"

#include <gtest/gtest.h>

namespace {

TEST(http_fields, lengths_ranges_retries) {
    const std::pair<std::vector<std::string>, std::string> lengths[] = {// the fields' values, the length
                                                                        {{"42"}, "42"},
                                                                        {{"42", "042"}, "42"},
                                                                        {{}, "none"},
                                                                        {{"42", "43"}, "none"},
                                                                        {{"-1"}, "none"},
                                                                        {{""}, "none"},
                                                                        {{"1234567890123456789"}, "none"}};
    for (const auto& [values, expected] : lengths) {
        upd::http_headers_t h;
        h.add("X", "1");
        for (const auto& v : values) h.add("content-LENGTH", v);
        const auto n = upd::content_length(h);
        EXPECT_EQ(n ? std::to_string(*n) : "none", expected) << ::testing::PrintToString(values);
    }
    const std::pair<std::string, std::string> ranges[] = {
        {"bytes 5-9/10", "5-9/10"}, {"bytes 0-0/*", "0-0/*"}, {"bytes 5-9/9", "none"}, {"bytes 9-5/10", "none"},
        {"bytes=5-9/10", "none"},   {"bytes 5-/10", "none"},  {"bytes -9/10", "none"}, {"bytes 5-9", "none"}};
    for (const auto& [value, expected] : ranges) {
        const auto r = upd::content_range(value);
        EXPECT_EQ(r ? std::to_string(r->first) + "-" + std::to_string(r->last) + "/" +
                          (r->total ? std::to_string(*r->total) : "*")
                    : "none",
                  expected)
            << value;
    }
    const std::time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
    const std::pair<std::string, long long> waits[] = {{"120", 120},
                                                       {"99999999999999", 21600},
                                                       {"Sun, 06 Nov 1994 08:59:37 GMT", 600},
                                                       {"Sunday, 06-Nov-94 09:49:37 GMT", 3600},
                                                       {"Sun Nov  6 08:50:37 1994", 60},
                                                       {"Sat, 05 Nov 1994 08:49:37 GMT", 0},
                                                       {"Mon, 07 Nov 1994 08:49:37 GMT", 21600},
                                                       {"-5", -1},
                                                       {"", -1},
                                                       {"Sun, 32 Nov 1994 08:49:37 GMT", -1}};
    for (const auto& [value, wait] : waits) EXPECT_EQ(upd::retry_after(value, now, 21600).value_or(-1), wait) << value;
}

TEST(progress_floor, a_kibibyte_a_second) {
    using clock = upd::progress_floor_t::clock;
    const clock::time_point t0{};
    const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
    upd::progress_floor_t steady, crawler, whole, short_rest;
    steady.start(t0, std::chrono::seconds(2), boost::none), crawler.start(t0, std::chrono::seconds(2), boost::none);
    for (int ms = 0; ms < 10000; ms += 100) EXPECT_TRUE(steady.add(256, at(ms))) << ms;  // 2.5 KiB/s passes any window
    EXPECT_TRUE(crawler.add(2047, at(1999)));
    EXPECT_FALSE(crawler.add(1, at(2000))) << "2047 bytes in a window of 2 s";
    for (auto* f : {&whole, &short_rest})
        f->start(t0, std::chrono::seconds(2), 2148), f->add(2048, at(1000));  // then a rest of 100
    EXPECT_TRUE(whole.add(100, at(3000)) && whole.add(0, at(4000)));
    EXPECT_TRUE(short_rest.add(99, at(3999)));
    EXPECT_FALSE(short_rest.add(0, at(4000))) << "the last window need only bring the rest, but all of it";
    upd::progress_floor_t held;  // by the run's own rate limit for 3 s
    held.start(t0, std::chrono::seconds(2), boost::none), held.pause(std::chrono::seconds(3));
    EXPECT_TRUE(held.add(0, at(4999)));
    EXPECT_FALSE(held.add(0, at(5000)));
}

}  // namespace
