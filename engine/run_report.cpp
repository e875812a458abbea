// What one attempt did, left in update_dir/tavik-update.report for those who watch many machines.
#include "engine/run_report.hpp"

#include "files/record_file.hpp"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/work_folder.hpp"

#include <algorithm>

namespace upd {

void run_report_t::set_zone(const zone_t& zone) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto same = std::find_if(zones_.begin(), zones_.end(), [&](const zone_t& z) { return z.name == zone.name; });
    if (same == zones_.end())
        zones_.push_back(zone);
    else
        *same = zone;
}

report_file_t run_report_t::report(const run_settings_t& settings, int status, std::uint64_t received) const {
    report_file_t r;
    r.run_id = settings.run_id, r.dry_run = settings.dry_run, r.check = settings.check;
    r.status = status, r.text = error_code_text(static_cast<tvk::ErrorCode>(status)), r.received = received;
    r.duration_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count());
    std::lock_guard<std::mutex> lock(mutex_);
    r.zones = zones_;
    return r;
}

void run_report_t::write(const boost::filesystem::path& update_dir, const run_settings_t& settings, int status,
                         std::uint64_t received) const {
    const boost::filesystem::path path = update_dir / work_folder::report;
    try {
        // Nothing secret: a monitoring account reads it.
        save_record_file(path, report(settings, status, received).format(), 0644);
    } catch (const std::exception& e) {
        LOG_WARNING("Report " << path << ": " << exception_text(e));
    }
}

}  // namespace upd
