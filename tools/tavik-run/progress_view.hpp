// Shows the updater's checking and download progress and its network traffic.
#pragma once

#include "update.pb.h"
#include "update_appstat.pb.h"

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace tavik_run {

using view_clock = std::chrono::steady_clock;

// Whole percent of done in total, 0..100; an empty total counts as complete.
unsigned percent_of(std::uint64_t done, std::uint64_t total);

// "512 B", "1.5 KiB", "12.0 MiB", "2.0 GiB".
std::string human_bytes(std::uint64_t bytes);

// Two modes. On a terminal one live line redrawn in place (stage, bar, percent of the finished
// files' bytes, files, bytes received and the rate, the file under way), which other lines pass
// above (note). Otherwise plain lines: one at each change of stage, with the final state of the
// stage before, and in between at most one every 10 s.
class progress_view_t {
public:
    progress_view_t(std::ostream& out, bool live, unsigned width = 80);

    void check(const tvk::UpdateCheckProgress& p, view_clock::time_point now);
    void download(const tvk::UpdateDownloadProgress& p, view_clock::time_point now);
    // Statistics messages carry the bytes moved since the previous one.
    void stat(const tvk::UpdateAppStat& s, view_clock::time_point now);

    // Shows a state held back by the rate limit once its time has come. Returns the
    // milliseconds until that time, or -1 when nothing is held back.
    int tick(view_clock::time_point now);

    // Writes a line of text above the live line (to `to`, which may be another stream on the
    // same terminal), then draws the live line again.
    void note(std::ostream& to, const std::string& line);

    // Shows what is still held back and ends the live line, before other output.
    void finish();

    std::uint64_t total_sent() const { return sent_; }
    std::uint64_t total_received() const { return received_; }
    // Plain text of the current state, as a plain line shows it.
    std::string status_text() const;
    std::string network_text() const;

private:
    enum class stage_t { none, checking, downloading };

    void changed(view_clock::time_point now, bool new_stage);
    void show(view_clock::time_point now);
    std::string live_line() const;

    std::ostream& out_;
    bool live_;
    unsigned width_;
    std::chrono::milliseconds interval_;

    stage_t stage_ = stage_t::none;
    tvk::UpdateCheckProgress check_;
    tvk::UpdateDownloadProgress download_;
    std::uint64_t sent_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t rate_ = 0;  // bytes a second over the last statistics period
    view_clock::time_point last_stat_{};
    bool network_changed_ = false;

    bool pending_ = false;
    bool shown_once_ = false;
    bool line_open_ = false;  // the live line holds text that a newline must end
    view_clock::time_point last_shown_{};
};

}  // namespace tavik_run
