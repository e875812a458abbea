// What one attempt did, left in update_dir/tavik-update.report for those who watch many machines.
#include "engine/run_report.hpp"

#include "files/record_file.hpp"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_io.hpp"
#include "framework/work_folder.hpp"

#include <algorithm>
#include <ctime>

#include <fcntl.h>

namespace upd {

run_report_t::run_report_t()
    : started_(std::chrono::steady_clock::now()), started_utc_(static_cast<std::uint64_t>(std::time(nullptr))) {}

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
    r.started = started_utc_;
    r.duration_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count());
    std::lock_guard<std::mutex> lock(mutex_);
    r.zones = zones_;
    return r;
}

void run_report_t::keep_successes(report_file_t& report, const report_file_t& before, std::uint64_t at) {
    const bool success = report.status == 0 && !report.dry_run && !report.check;
    for (zone_t& zone : report.zones) {
        const auto was = std::find_if(before.zones.begin(), before.zones.end(),
                                      [&](const zone_t& z) { return z.name == zone.name; });
        zone.last_success = success ? at : was == before.zones.end() ? 0 : was->last_success;
    }
    if (success) return;
    for (const zone_t& was : before.zones) {
        const bool reached =
            std::any_of(report.zones.begin(), report.zones.end(), [&](const zone_t& z) { return z.name == was.name; });
        if (reached || !was.last_success) continue;
        // What the list last taken said, without what that attempt did.
        zone_t kept;
        kept.name = was.name, kept.server = was.server, kept.stamp = was.stamp, kept.expires = was.expires;
        kept.expired = was.expired, kept.last_success = was.last_success;
        report.zones.push_back(kept);
    }
}

void run_report_t::write(const boost::filesystem::path& update_dir, const run_settings_t& settings, int status,
                         std::uint64_t received) const {
    const boost::filesystem::path path = update_dir / work_folder::report;
    try {
        report_file_t before;
        try {
            const std::vector<char> text = read_regular_file(path.string(), report_file_t::max_size, O_NOFOLLOW);
            before = report_file_t::parse(text.data(), text.data() + text.size());
        } catch (const std::exception& e) {
            LOG_DEBUG("Report " << path << " before this attempt: " << exception_text(e));
        }
        report_file_t r = report(settings, status, received);
        keep_successes(r, before, static_cast<std::uint64_t>(std::time(nullptr)));
        // Nothing secret: a monitoring account reads it.
        save_record_file(path, r.format(), 0644);
    } catch (const std::exception& e) {
        LOG_WARNING("Report " << path << ": " << exception_text(e));
    }
}

}  // namespace upd
