// One update run on the worker thread: plan the zones, compare, download, collect what to install.
#pragma once

#include "engine/file_item.hpp"
#include "engine/mirrors.hpp"
#include "engine/progress_counter.hpp"
#include "engine/run_plan.hpp"
#include "engine/run_report.hpp"
#include "engine/run_settings.hpp"
#include "engine/zone.hpp"
#include "engine/zone_fallback.hpp"
#include "files/stamp_signers_file.hpp"
#include "files/stamps_file.hpp"
#include "net/downloader.hpp"

#include "update_config.pb.h"

#include <boost/asio/io_service.hpp>
#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace upd {

class checker_t;
class h2_pool_t;
class progress_t;
class url_t;

class updater_t {
public:
    updater_t(boost::asio::io_service& io_service, progress_t& progress, const run_settings_t& settings);

    // Plans the zones, compares and fetches. A zone whose list server published a newer list while
    // its files were fetched (list_republished_t) starts the attempt over, once.
    void update(const tvk::UpdateConfig& config);
    // Compares only (run_settings_t::check): each zone's list and patch index are read, nothing
    // else is fetched, and the report counts what a run would place, remove and fetch and names
    // what it would place. Of update_dir only the hash cache and the servers' waits change.
    void check(const tvk::UpdateConfig& config);
    std::vector<zone_t> plan_zones(const tvk::UpdateConfig& config);
    std::vector<zone_fallback_t> plan_fallback(const tvk::UpdateConfig& config);
    void fallback(const tvk::UpdateConfig& config);
    // After the daemon accepted the installation of an update run: each zone's list stamp becomes
    // the lowest that later runs accept. A failure to write costs a Warning, not the update.
    void record_stamps(const tvk::UpdateConfig& config);
    // What servers asked of later runs (Retry-After), in update_dir/tavik-update.servers; a
    // failure to write costs a Warning.
    void record_waits(const tvk::UpdateConfig& config);

    // Brings one file from `url` to `target` over the run's own connection, as file_fetch_t does.
    void fetch(checker_t& checker, const url_t& url, const boost::filesystem::path& target, const std::string& expected,
               bool packed, std::uint32_t size);

    // What the run did goes into this report as it happens (none: nowhere).
    void set_report(run_report_t* report) { report_ = report; }

    // What to install once the run succeeded (or the fallback placed something).
    const run_plan_t& plan() const { return plan_; }
    // Whether a zone went on with an expired list, no server having a newer one.
    bool expired_list() const { return expired_; }

private:
    // One pass over the zones; `recheck_lists` as for file_fetch_t.
    void update_once(const tvk::UpdateConfig& config, bool recheck_lists);
    void fetch_all(checker_t& checker, bool recheck_lists);
    // The zone's patch index, when one of its changed files has an installed copy to patch.
    void load_patch_index(zone_t& zone, checker_t& checker);
    // The digests of what the zones would place, from the cache or read anew.
    void hash_installed(checker_t& checker);
    void load_waits(const tvk::UpdateConfig& config);
    // The recorded stamps, less those that keys this build no longer holds alone had set.
    void load_stamps(const boost::filesystem::path& update_dir);

    boost::asio::io_service& io_service_;
    progress_t& progress_;
    progress_counter_t counter_;
    const run_settings_t& settings_;
    downloader_t downloader_;
    // The run's multiplexed connections, driven by downloader_'s thread (none without HTTP/2).
    std::shared_ptr<h2_pool_t> pool_;          // shared: only the build with it names its destructor
    stamps_file_t::stamps_t stamps_;           // recorded before the run, then raised to the lists it used
    stamp_signers_file_t::signers_t signers_;  // the keys that signed each stamp's list
    std::shared_ptr<mirrors_t::waits_t> waits_ = std::make_shared<mirrors_t::waits_t>();
    run_report_t* report_ = nullptr;
    run_plan_t plan_;  // the zones of the attempt and what it installs
    bool expired_ = false;
};

}  // namespace upd
