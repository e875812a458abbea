// What one attempt did, left in update_dir/tavik-update.report for those who watch many machines.
#pragma once

#include "engine/run_settings.hpp"
#include "files/report_file.hpp"

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace upd {

// Collects the report of one attempt (report_file_t) as it goes, whatever daemon started it: the
// worker fills in the zones; the main thread writes it whole at the end.
class run_report_t {
public:
    using zone_t = report_file_t::zone_t;

    run_report_t();

    // Adds the zone, or replaces the one of that name.
    void set_zone(const zone_t& zone);

    // The run id, dry run and check of `settings`.
    report_file_t report(const run_settings_t& settings, int status, std::uint64_t received) const;
    // What outlives an attempt: a success (status 0 of a run that is neither a check nor a dry run)
    // brought each of its zones up to date `at` (seconds since 1970, UTC); any other attempt keeps
    // the times of `before`, the report it replaces, and the zones it did not reach with them.
    static void keep_successes(report_file_t& report, const report_file_t& before, std::uint64_t at);
    // Replaces the file atomically, the report before it read first for what outlives it; a failure
    // costs a Warning, never the status.
    void write(const boost::filesystem::path& update_dir, const run_settings_t& settings, int status,
               std::uint64_t received) const;

private:
    std::chrono::steady_clock::time_point started_;
    std::uint64_t started_utc_;
    mutable std::mutex mutex_;
    std::vector<zone_t> zones_;
};

}  // namespace upd
