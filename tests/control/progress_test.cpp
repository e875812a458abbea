// Progress coalescing per loop pass, and the once-a-second byte statistics with their totals.
#include "control/progress.hpp"

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

class recording_watcher_t : public upd::progress_watcher_t {
public:
    void on_check_progress(const tvk::UpdateCheckProgress& p) override {
        events.push_back("check " + std::to_string(p.bytes_checked()) + "/" + std::to_string(p.bytes_to_check()));
    }
    void on_download_progress(const tvk::UpdateDownloadProgress& p) override {
        events.push_back("download " + std::to_string(p.files_processed()) + "/" +
                         std::to_string(p.files_to_process()) + " " + std::to_string(p.bytes_processed()) + "/" +
                         std::to_string(p.bytes_to_process()) +
                         (p.has_current_file() ? " " + p.current_file() : std::string()));
    }
    void on_stat(const tvk::UpdateAppStat& s) override {
        events.push_back("stat " + std::to_string(s.bytes_sent()) + " " + std::to_string(s.bytes_received()));
    }
    std::vector<std::string> events;
};

using events_t = std::vector<std::string>;

class progress_test : public ::testing::Test {
protected:
    // One pass of the loop: runs what is ready, never waits for the timer.
    events_t pass() {
        io_.poll();
        io_.restart();
        events_t out = std::move(watcher_.events);
        watcher_.events.clear();
        return out;
    }
    boost::asio::io_service io_;
    recording_watcher_t watcher_;
    upd::progress_t progress_{io_, &watcher_};
};

TEST_F(progress_test, burst_of_checks_yields_one_notification_with_the_last_value) {
    progress_.start_check(1000);
    for (std::uint32_t i = 1; i <= 10; ++i) progress_.set_checked(i * 10);
    EXPECT_EQ(pass(), (events_t{"check 100/1000"}));
    EXPECT_EQ(pass(), events_t{});
}

TEST_F(progress_test, check_then_download_arrive_in_that_order) {
    progress_.start_check(10);
    progress_.start_download(3, 300);
    EXPECT_EQ(pass(), (events_t{"check 0/10", "download 0/3 0/300"}));
}

TEST_F(progress_test, download_steps_show_current_file_and_clear_it) {
    const struct {
        const char* title;
        void (*step)(upd::progress_t&);
        const char* expected;
    } steps[] = {
        {"start", [](upd::progress_t& p) { p.start_download(2, 30); }, "download 0/2 0/30"},
        {"current file", [](upd::progress_t& p) { p.set_current_file("base/a.vdb"); }, "download 0/2 0/30 base/a.vdb"},
        {"file done clears the name", [](upd::progress_t& p) { p.file_done(10); }, "download 1/2 10/30"},
        {"next file", [](upd::progress_t& p) { p.set_current_file("base/b.vdb"); }, "download 1/2 10/30 base/b.vdb"},
        {"restart clears the name", [](upd::progress_t& p) { p.start_download(5, 50); }, "download 0/5 0/50"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.title);
        s.step(progress_);
        EXPECT_EQ(pass(), events_t{s.expected});
    }
}

TEST_F(progress_test, value_changed_back_still_notifies) {
    progress_.start_check(100);
    progress_.set_checked(5);
    EXPECT_EQ(pass(), events_t{"check 5/100"});
    progress_.set_checked(6);
    progress_.set_checked(5);
    EXPECT_EQ(pass(), events_t{"check 5/100"});
}

TEST_F(progress_test, byte_counts_never_notify_progress) {
    progress_.add_sent(10);
    progress_.add_received(20);
    EXPECT_EQ(pass(), events_t{});
}

TEST_F(progress_test, flush_sends_counts_once_and_keeps_totals) {
    const struct {
        const char* title;
        std::uint32_t sent, received;
        events_t expected;
        std::uint32_t total_sent, total_received;
    } rounds[] = {
        {"quiet period sends nothing", 0, 0, {}, 0, 0},
        {"3 bytes sent", 3, 0, {"stat 3 0"}, 3, 0},
        {"both directions", 5, 1048576, {"stat 5 1048576"}, 8, 1048576},
        {"counts were reset", 0, 0, {}, 8, 1048576},
    };
    for (const auto& r : rounds) {
        SCOPED_TRACE(r.title);
        if (r.sent) progress_.add_sent(r.sent);
        if (r.received) progress_.add_received(r.received);
        progress_.flush_stat();
        EXPECT_EQ(watcher_.events, r.expected);
        watcher_.events.clear();
        EXPECT_EQ(progress_.total_sent(), r.total_sent);
        EXPECT_EQ(progress_.total_received(), r.total_received);
    }
}

TEST_F(progress_test, totals_wrap_at_32_bits) {
    progress_.add_sent(0xFFFFFFF0u);
    progress_.flush_stat();
    progress_.add_sent(0x20);
    progress_.flush_stat();
    EXPECT_EQ(progress_.total_sent(), 0x10u);
}

// The statistics timer itself: a second with traffic reports it, a quiet one does not.
TEST_F(progress_test, timer_reports_each_second_only_when_bytes_moved) {
    progress_.add_sent(3);
    io_.run_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(watcher_.events, events_t{"stat 3 0"});
    watcher_.events.clear();
    io_.restart();
    io_.run_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(watcher_.events, events_t{});
    EXPECT_EQ(progress_.total_sent(), 3u);
}

TEST(progress, reports_from_other_threads_reach_the_loop) {
    boost::asio::io_service io;
    recording_watcher_t watcher;
    upd::progress_t progress(io, &watcher);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                progress.add_received(1);
                progress.set_checked(7);
            }
        });
    }
    for (auto& t : threads) t.join();
    io.poll();
    EXPECT_EQ(watcher.events, events_t{"check 7/0"});
    watcher.events.clear();
    progress.flush_stat();
    EXPECT_EQ(watcher.events, events_t{"stat 0 4000"});
}

}  // namespace
