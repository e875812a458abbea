// Progress: one notification per loop pass; byte counts once a second and at a flush.
#include "control/progress.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace {

using events_t = std::vector<std::string>;

struct recorder_t : upd::progress_watcher_t {
    void on_check_progress(const tvk::UpdateCheckProgress& p) override { events.push_back(p.ShortDebugString()); }
    void on_download_progress(const tvk::UpdateDownloadProgress& p) override { events.push_back(p.ShortDebugString()); }
    void on_stat(const tvk::UpdateAppStat& s) override { events.push_back(s.ShortDebugString()); }
    events_t take() { return std::move(events); }
    events_t events;
};

TEST(progress, once_per_pass_and_bytes_once_a_second) {
    boost::asio::io_service io;
    recorder_t watcher;
    upd::progress_t progress(io, &watcher);
    const auto pass = [&] { return io.poll(), io.restart(), watcher.take(); };
    const std::string checked = "bytes_to_check: 1000 bytes_checked: 100",
                      download = "files_to_process: 2 files_processed: 0 bytes_to_process: 30 bytes_processed: 0";
    std::vector<std::thread> threads;  // reports come from any thread
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) progress.add_sent(1), progress.set_checked(7);
        });
    for (auto& t : threads) t.join();
    progress.start_check(1000), progress.set_checked(10), progress.set_checked(100), progress.start_download(2, 30);
    EXPECT_EQ(pass(), (events_t{checked, download}));
    EXPECT_EQ(pass(), events_t{});
    progress.set_current_file("a.vdb");
    EXPECT_EQ(pass(), events_t{download + " current_file: \"a.vdb\""});
    progress.file_done(10), progress.set_checked(7),
        progress.set_checked(100);  // back to the value shown: still a change
    EXPECT_EQ(pass(),
              (events_t{checked, "files_to_process: 2 files_processed: 1 bytes_to_process: 30 bytes_processed: 10"}));
    io.run_for(std::chrono::milliseconds(300));
    EXPECT_EQ(watcher.take(), events_t{}) << "not before the second is over";
    io.restart(), io.run_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(watcher.take(), events_t{"bytes_sent: 400 bytes_received: 0"});
    progress.flush_stat();
    EXPECT_EQ(watcher.take(), events_t{}) << "a quiet period sends nothing";
    progress.add_sent(0xFFFFFFF0u), progress.add_received(7), progress.flush_stat();
    EXPECT_EQ(watcher.take(), events_t{"bytes_sent: 4294967280 bytes_received: 7"});
    EXPECT_EQ(progress.total_sent(), 384u) << "totals wrap at 32 bits";
    EXPECT_EQ(progress.total_received(), 7u);
}

}  // namespace
