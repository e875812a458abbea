// Progress display of tavik-run: percentages of large counts, the once-a-second plain lines,
// the live line and the network totals.
#include "progress_view.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using tavik_run::percent_of;
using tavik_run::progress_view_t;
using tavik_run::view_clock;
using std::chrono::milliseconds;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

tvk::UpdateCheckProgress check(std::uint32_t total, std::uint32_t done) {
    tvk::UpdateCheckProgress p;
    p.set_bytes_to_check(total);
    p.set_bytes_checked(done);
    return p;
}

tvk::UpdateDownloadProgress download(std::uint32_t files, std::uint32_t files_done,
                                     std::uint32_t bytes, std::uint32_t bytes_done,
                                     const char* name = nullptr) {
    tvk::UpdateDownloadProgress p;
    p.set_files_to_process(files);
    p.set_files_processed(files_done);
    p.set_bytes_to_process(bytes);
    p.set_bytes_processed(bytes_done);
    if (name) p.set_current_file(name);
    return p;
}

TEST(ProgressView, PercentDoesNotOverflowAndHandlesEmptyTotals) {
    const struct {
        const char* name;
        std::uint64_t done, total;
        unsigned expected;
    } cases[] = {
        {"half", 50, 100, 50},
        {"rounds down", 199, 200, 99},
        {"counts past 42 MB would wrap in 32 bits", 3000000000u, 4000000000u, 75},
        {"nothing to do is complete", 0, 0, 100},
        {"done above total is capped", 120, 100, 100},
        {"start", 0, 4000000000u, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(percent_of(c.done, c.total), c.expected) << c.name;
}

TEST(ProgressView, PlainLinesComeAtMostOnceASecondWithTheLatestState) {
    std::ostringstream out;
    progress_view_t view(out, false);
    const view_clock::time_point t0{};
    view.check(check(1000, 100), t0);                   // first: shown at once
    view.check(check(1000, 200), t0 + milliseconds(300));  // held back
    view.check(check(1000, 300), t0 + milliseconds(600));  // replaces the held-back state
    EXPECT_EQ(lines_of(out.str()).size(), 1u);
    EXPECT_EQ(view.tick(t0 + milliseconds(900)), 100);  // due in 100 ms
    EXPECT_EQ(view.tick(t0 + milliseconds(1000)), -1);  // shown now
    view.check(check(1000, 400), t0 + milliseconds(1500));  // held back until 2000
    EXPECT_EQ(view.tick(t0 + milliseconds(1999)), 1);
    view.finish();  // shows what was held back before anything else is printed
    EXPECT_EQ(lines_of(out.str()),
              (std::vector<std::string>{"checking: 10% (100 B of 1000 B)",
                                        "checking: 30% (300 B of 1000 B)",
                                        "checking: 40% (400 B of 1000 B)"}));
    EXPECT_EQ(view.tick(t0 + milliseconds(5000)), -1);  // nothing left to show
}

TEST(ProgressView, PlainDownloadLineNamesFilesAndTheCurrentOne) {
    std::ostringstream out;
    progress_view_t view(out, false);
    view.download(download(12, 3, 4u << 20, 1u << 20, "daily.avc"), view_clock::time_point{});
    EXPECT_EQ(out.str(), "downloading: 25% (1.0 MiB of 4.0 MiB, 3 of 12 files), daily.avc\n");
}

TEST(ProgressView, NetworkTotalsAddUpTheDeltasOfEachMessage) {
    std::ostringstream out;
    progress_view_t view(out, false);
    const view_clock::time_point t0{};
    for (int i = 0; i < 3; ++i) {
        tvk::UpdateAppStat s;
        s.set_bytes_sent(100);
        s.set_bytes_received(4000000000u);  // 12 GB in total: must not wrap at 32 bits
        view.stat(s, t0 + milliseconds(1000 * i));
    }
    EXPECT_EQ(view.total_sent(), 300u);
    EXPECT_EQ(view.total_received(), 12000000000ull);
    EXPECT_EQ(view.network_text(), "network: sent 300 B, received 11.2 GiB");
    EXPECT_EQ(lines_of(out.str()).back(), "network: sent 300 B, received 11.2 GiB");
}

TEST(ProgressView, LiveLineIsRedrawnInPlaceAndEndedByFinish) {
    std::ostringstream out;
    progress_view_t view(out, true, 100);
    const view_clock::time_point t0{};
    view.check(check(200, 100), t0);
    view.download(download(2, 1, 1000, 500, "base.avc"), t0 + milliseconds(200));
    view.finish();
    const std::string text = out.str();
    EXPECT_EQ(text.find('\n'), text.size() - 1);  // one line, ended only by finish
    EXPECT_NE(text.find("\rchecking    [##########          ]  50%  100 B / 200 B\x1b[K"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\rdownloading [##########          ]  50%  500 B / 1000 B  1/2  base.avc"),
              std::string::npos)
        << text;
}

TEST(ProgressView, LiveLineIsCutToTheTerminalWidth) {
    std::ostringstream out;
    progress_view_t view(out, true, 50);
    view.download(download(2, 1, 1000, 500, "a-very-long-file-name-that-does-not-fit.avc"),
                  view_clock::time_point{});
    const std::string text = out.str();
    const std::size_t start = text.rfind('\r') + 1;
    const std::size_t end = text.find("\x1b[K", start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(end - start, 49u);
}

}  // namespace
