// What one attempt did, left in update_dir/tavik-update.report for those who watch many machines.
#pragma once

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace upd {

// Lines "KEY VALUE" (see tavik-update(1)), written whole at the end of every run, whatever daemon
// started it: the status and its text, whether it was a dry run, how long it took, the bytes
// received, and per zone the server whose list it took, the list's stamp and how many files were
// placed, removed and kept. The worker fills in the zones; the main thread writes it.
class run_report_t {
public:
    struct zone_t {
        std::string name, server, stamp;
        std::size_t placed = 0, removed = 0, kept = 0;
    };

    run_report_t() : started_(std::chrono::steady_clock::now()) {}

    // Adds the zone, or replaces the one of that name.
    void set_zone(const zone_t& zone);

    std::string format(int status, bool dry_run, std::uint64_t received) const;
    // Replaces the file atomically; a failure costs a Warning, never the status.
    void write(const boost::filesystem::path& update_dir, int status, bool dry_run, std::uint64_t received) const;

    static const char* const file_name;  // "tavik-update.report"

private:
    std::chrono::steady_clock::time_point started_;
    mutable std::mutex mutex_;
    std::vector<zone_t> zones_;
};

}  // namespace upd
