// tavik-run's progress: lines per stage and at most every 10 s, or a live line.
#include "tests/support/support.hpp"
#include "tools/tavik-run/progress_view.hpp"

namespace {

TEST(progress_view, lines) {
    const auto at = [](int s) { return tavik_run::view_clock::time_point{} + std::chrono::seconds(s); };
    std::ostringstream plain, live, err;
    tavik_run::progress_view_t lines(plain, false), line(live, true, 100);
    tvk::UpdateCheckProgress c;
    tvk::UpdateDownloadProgress d;
    tvk::UpdateAppStat s;
    c.set_bytes_to_check(100), c.set_bytes_checked(0), lines.check(c, at(1));
    c.set_bytes_checked(50), lines.check(c, at(2)), c.set_bytes_checked(100), lines.check(c, at(3));
    s.set_bytes_received(4096), lines.stat(s, at(3));
    d.set_files_to_process(2), d.set_bytes_to_process(3000), lines.download(d, at(4));
    d.set_files_processed(1), d.set_bytes_processed(1000), lines.download(d, at(5));
    d.set_files_processed(2), d.set_bytes_processed(3000), lines.download(d, at(15)), lines.finish();
    EXPECT_EQ(
        plain.str(),
        "checking: 0% (0 B of 100 B)\nchecking: 100% (100 B of 100 B)\ndownloading: 0% (0 B of 2.9 KiB, 0 of 2 files)\n"
        "downloading: 100% (2.9 KiB of 2.9 KiB, 2 of 2 files)\n")
        << "the network is left to the totals at the end";
    d.Clear(), d.set_files_to_process(0), lines.download(d, at(16));
    EXPECT_EQ(lines.status_text(), "downloading: up to date");
    line.stat(s, at(1)), s.set_bytes_received(2048), line.stat(s, at(3)), line.note(err, "Warning: from the updater");
    EXPECT_EQ(err.str(), "Warning: from the updater\n");
    EXPECT_EQ(live.str().substr(live.str().rfind('\r')), "\r\x1b[Krx 6.0 KiB at 1.0 KiB/s\x1b[K")
        << "erased, then drawn again";
}

}  // namespace
