// What one attempt did, left in update_dir/tavik-update.report for those who watch many machines.
#include "engine/run_report.hpp"

#include "files/record_file.hpp"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"

#include <algorithm>

namespace upd {

const char* const run_report_t::file_name = "tavik-update.report";

void run_report_t::set_zone(const zone_t& zone) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto same = std::find_if(zones_.begin(), zones_.end(), [&](const zone_t& z) { return z.name == zone.name; });
    if (same == zones_.end()) zones_.push_back(zone);
    else *same = zone;
}

std::string run_report_t::format(int status, bool dry_run, std::uint64_t received) const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count();
    std::string text = "status " + std::to_string(status) + "\ntext " + error_code_text(static_cast<tvk::ErrorCode>(status)) +
                       "\ndry_run " + (dry_run ? "1" : "0") + "\nduration_ms " + std::to_string(ms) + "\nreceived " + std::to_string(received) + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    for (const zone_t& z : zones_) {
        // The server last: a URL may hold blanks.
        text += "zone " + z.name + " placed=" + std::to_string(z.placed) + " removed=" + std::to_string(z.removed) + " kept=" +
                std::to_string(z.kept) + " stamp=" + z.stamp + " server=" + z.server + "\n";
    }
    return text;
}

void run_report_t::write(const boost::filesystem::path& update_dir, int status, bool dry_run, std::uint64_t received) const {
    const boost::filesystem::path path = update_dir / file_name;
    try {
        save_record_file(path, format(status, dry_run, received));
    } catch (const std::exception& e) {
        LOG_WARNING("Report " << path << ": " << exception_text(e));
    }
}

}  // namespace upd
