// One update run on the worker thread: plan the zones, compare, download, collect what to install.
#pragma once

#include "engine/file_item.hpp"
#include "engine/progress_counter.hpp"
#include "engine/run_report.hpp"
#include "engine/zone.hpp"
#include "engine/zone_fallback.hpp"
#include "files/stamps_file.hpp"
#include "net/downloader.hpp"

#include "update_config.pb.h"

#include <boost/asio/io_service.hpp>
#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace upd {

class checker_t;
class progress_t;
class url_t;

class updater_t {
public:
    updater_t(boost::asio::io_service& io_service, progress_t& progress, const tvk::UpdateConfig& config);

    void update(const tvk::UpdateConfig& config);
    std::vector<zone_t> plan_zones(const tvk::UpdateConfig& config);
    std::vector<zone_fallback_t> plan_fallback(const tvk::UpdateConfig& config);
    void fallback(const tvk::UpdateConfig& config);
    // After the daemon accepted the installation of an update run: each zone's list stamp becomes
    // the lowest that later runs accept. A failure to write costs a Warning, not the update.
    void record_stamps(const tvk::UpdateConfig& config);
    // What servers asked of later runs (Retry-After), in update_dir/tavik-update.servers; a
    // failure to write costs a Warning.
    void record_waits(const tvk::UpdateConfig& config);

    // Brings one file to `target` and accepts it only with the expected SHA-256. `size` is the
    // length the file list promises: a plain download may not run past it.
    void fetch(checker_t& checker, const url_t& url, const boost::filesystem::path& target,
               const std::string& expected, bool packed, std::uint32_t size);
    // The same over the given downloader (one of several connections of a run). What a failure
    // leaves half-way stays for the next request to continue; a continued file that fails its
    // check is fetched whole once more. `asked` follows the URL of the request under way.
    void fetch(downloader_t& downloader, checker_t& checker, const url_t& url, const boost::filesystem::path& target,
               const std::string& expected, bool packed, std::uint32_t size, std::string* asked = nullptr);
    // One file of a zone: a patch to the installed copy when the zone's server offers one, else (or
    // when the patch fails for good) the file itself, packed or plain; from the zone's server, and
    // when that fails for a reason of the server's, from the zone's other servers in their order,
    // each at most once.
    void fetch_from_mirrors(downloader_t& downloader, checker_t& checker, zone_t& zone, const file_item_t& item);
    // Whether patches are fetched: unless TAVIK_PATCHES is 0 (tavik-run --no-patches).
    static bool patches_enabled();

    // What the run did goes into this report as it happens (none: nowhere).
    void set_report(run_report_t* report) { report_ = report; }
    // A dry run (TAVIK_DRY_RUN=1 from whoever starts the updater, as tavik-run --dry-run does)
    // leaves nothing in update_dir that changes a later run: no stamps, no server waits.
    static bool dry_run();

    // How many files a run downloads at once: TAVIK_DOWNLOAD_CONNECTIONS from the environment (1
    // to 16), else the build's default. 1 is one download after another on this thread.
    static std::size_t download_connections();
    // Whether connections are kept between requests: unless TAVIK_KEEP_ALIVE is 0.
    static bool keep_alive();
    static constexpr std::size_t max_download_connections = 16;

    const std::vector<file_item_t>& to_place() const { return to_place_; }
    const std::set<std::string>& to_remove() const { return to_remove_; }
    const std::set<std::string>& up_to_date() const { return up_to_date_; }

    // Proxy and time-out from the configuration, as every downloader of a run uses them.
    static void configure(downloader_t& downloader, const tvk::UpdateConfig& config);
    static std::string user_agent(const tvk::UpdateConfig& config);

    // The time-out of every network step when the configuration sets none (or 0).
    static constexpr std::int64_t default_network_timeout_ms = 60000;

private:
    // The patch road: true when the file was made from a patch and verified.
    bool fetch_patch(downloader_t& downloader, zone_t& zone, const file_item_t& item, const std::string& installed);

    boost::asio::io_service& io_service_;
    progress_t& progress_;
    progress_counter_t counter_;
    downloader_t downloader_;
    std::size_t connections_;
    stamps_file_t::stamps_t stamps_;  // recorded before the run, then raised to the lists it used
    std::shared_ptr<mirrors_t::waits_t> waits_ = std::make_shared<mirrors_t::waits_t>();
    run_report_t* report_ = nullptr;
    // Patches are applied one at a time, whatever the number of lanes: each holds the installed
    // copy and the result in memory, about twice the file.
    std::mutex patch_mutex_;
    std::vector<file_item_t> to_place_;
    std::set<std::string> to_remove_;
    std::set<std::string> up_to_date_;
};

}  // namespace upd
