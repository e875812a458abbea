// Shows the updater's checking and download progress and its network traffic.
#include "progress_view.hpp"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace tavik_run {

unsigned percent_of(std::uint64_t done, std::uint64_t total) {
    if (total == 0) return 100;
    if (done >= total) return 100;
    // 64-bit arithmetic: uint32 byte counts times 100 would wrap above 42 MB.
    return static_cast<unsigned>(done * 100 / total);
}

std::string human_bytes(std::uint64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

progress_view_t::progress_view_t(std::ostream& out, bool live, unsigned width)
    : out_(out),
      live_(live),
      width_(std::max(width, 40u)),
      // A log file that gets a line a second from each of many machines is read by nobody.
      interval_(live ? std::chrono::milliseconds(100) : std::chrono::milliseconds(10000)) {}

void progress_view_t::check(const tvk::UpdateCheckProgress& p, view_clock::time_point now) {
    const bool new_stage = stage_ != stage_t::checking;
    if (new_stage && pending_) show(now);  // the final state of the stage before
    check_ = p;
    stage_ = stage_t::checking;
    changed(now, new_stage);
}

void progress_view_t::download(const tvk::UpdateDownloadProgress& p, view_clock::time_point now) {
    const bool new_stage = stage_ != stage_t::downloading;
    if (new_stage && pending_) show(now);
    download_ = p;
    stage_ = stage_t::downloading;
    changed(now, new_stage);
}

void progress_view_t::stat(const tvk::UpdateAppStat& s, view_clock::time_point now) {
    sent_ += s.bytes_sent();
    received_ += s.bytes_received();
    // Statistics come once a second while data moves; the first period is taken as a second.
    const auto ms = last_stat_ == view_clock::time_point()
                        ? 1000
                        : std::chrono::duration_cast<std::chrono::milliseconds>(now - last_stat_).count();
    rate_ = s.bytes_received() * 1000 / static_cast<std::uint64_t>(std::max<long long>(ms, 100));
    last_stat_ = now;
    network_changed_ = true;
    // Plain lines leave the network to the totals at the end.
    if (live_) changed(now, false);
}

void progress_view_t::changed(view_clock::time_point now, bool new_stage) {
    pending_ = true;
    if (new_stage || !shown_once_ || now - last_shown_ >= interval_) show(now);
}

void progress_view_t::note(std::ostream& to, const std::string& line) {
    if (line_open_) out_ << "\r\x1b[K" << std::flush;
    to << line << std::endl;
    if (line_open_) out_ << live_line() << "\x1b[K" << std::flush;
}

int progress_view_t::tick(view_clock::time_point now) {
    if (!pending_) return -1;
    const auto since = now - last_shown_;
    if (since >= interval_) {
        show(now);
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(interval_ - since);
    return static_cast<int>(std::max<long long>(1, left.count()));
}

void progress_view_t::finish() {
    if (pending_) show(view_clock::now());
    if (line_open_) {
        out_ << '\n';
        line_open_ = false;
    }
    out_.flush();
}

std::string progress_view_t::status_text() const {
    std::ostringstream text;
    switch (stage_) {
        case stage_t::none: break;
        case stage_t::checking:
            text << "checking: " << percent_of(check_.bytes_checked(), check_.bytes_to_check()) << "% ("
                 << human_bytes(check_.bytes_checked()) << " of " << human_bytes(check_.bytes_to_check()) << ")";
            break;
        case stage_t::downloading:
            if (download_.files_to_process() == 0) {
                text << "downloading: up to date";
                break;
            }
            text << "downloading: " << percent_of(download_.bytes_processed(), download_.bytes_to_process()) << "% ("
                 << human_bytes(download_.bytes_processed()) << " of " << human_bytes(download_.bytes_to_process())
                 << ", " << download_.files_processed() << " of " << download_.files_to_process() << " files)";
            if (download_.has_current_file() && !download_.current_file().empty()) {
                text << ", " << download_.current_file();
            }
            break;
    }
    return text.str();
}

std::string progress_view_t::network_text() const {
    return "network: sent " + human_bytes(sent_) + ", received " + human_bytes(received_);
}

std::string progress_view_t::live_line() const {
    const char* name = "";
    std::uint64_t done = 0, total = 0;
    if (stage_ == stage_t::checking) {
        name = "checking";
        done = check_.bytes_checked();
        total = check_.bytes_to_check();
    } else if (stage_ == stage_t::downloading) {
        name = "downloading";
        done = download_.bytes_processed();
        total = download_.bytes_to_process();
    }
    std::ostringstream line;
    if (stage_ == stage_t::downloading && download_.files_to_process() == 0) {
        line << "up to date";
    } else if (stage_ != stage_t::none) {
        const unsigned pct = percent_of(done, total);
        const unsigned bar = 20;
        const unsigned filled = pct * bar / 100;
        char head[16];
        std::snprintf(head, sizeof head, "%-11s ", name);
        line << head << '[' << std::string(filled, '#') << std::string(bar - filled, ' ') << "] ";
        char pct_text[8];
        std::snprintf(pct_text, sizeof pct_text, "%3u%%", pct);
        line << pct_text << "  " << human_bytes(done) << " / " << human_bytes(total);
        if (stage_ == stage_t::downloading) {
            line << "  " << download_.files_processed() << '/' << download_.files_to_process();
        }
    }
    if (network_changed_) {
        if (stage_ != stage_t::none) line << "  ";
        line << "rx " << human_bytes(received_) << " at " << human_bytes(rate_) << "/s";
    }
    if (stage_ == stage_t::downloading && download_.has_current_file() && !download_.current_file().empty()) {
        line << "  " << download_.current_file();
    }
    std::string text = line.str();
    if (text.size() > width_ - 1) text.resize(width_ - 1);
    return text;
}

void progress_view_t::show(view_clock::time_point now) {
    pending_ = false;
    shown_once_ = true;
    last_shown_ = now;
    if (live_) {
        // Carriage return and erase-to-end redraw the one line in place.
        out_ << '\r' << live_line() << "\x1b[K";
        line_open_ = true;
    } else {
        const std::string text = status_text();
        if (text.empty()) return;
        out_ << text << '\n';
    }
    out_.flush();
}

}  // namespace tavik_run
