// One update run on the worker thread: plan the zones, compare, download, collect what to install.
#include "engine/updater.hpp"

#include "control/progress.hpp"
#include "engine/fetch_pool.hpp"
#include "engine/file_fetch.hpp"
#include "files/apply_patch.hpp"
#include "files/list_trust.hpp"
#include "files/checker.hpp"
#include "files/mirror_tree.hpp"
#include "files/servers_file.hpp"
#include "framework/cf_log.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/error_code.hpp"
#include "framework/work_folder.hpp"
#include "net/url.hpp"
#if TAVIK_HTTP2
#include "net/h2_pool.hpp"
#endif

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <ctime>
#include <functional>

namespace fs = boost::filesystem;

namespace upd {

namespace {

void warn_empty(const char* option) { LOG_WARNING("Config option " << option << " is empty"); }

void map_file(zone_t& zone, const std::string& path, const std::string& pattern, const char* option) {
    if (path.empty())
        warn_empty(option);
    else
        zone.add_file(path, pattern);
}

void map_directory(zone_t& zone, const std::string& directory, const char* option) {
    if (directory.empty())
        warn_empty(option);
    else
        zone.add_directory(directory);
}

// One row of the zone table: when a zone takes part, where its files live, which installed files
// its list maps, and where its fallback finds the installed zone.ini (when it has one).
struct zone_row_t {
    const char* name;
    bool enabled;
    std::string drl_path, custom_drl_path;
    const char* download_dir;
    bool fallback;
    fs::path zone_ini;
    std::function<void(zone_t&)> map_files;
};

std::vector<zone_row_t> zone_table(const tvk::UpdateConfig& c) {
    const fs::path antispam_dir = fs::path(c.antispam_drl_path()).parent_path();
    return {
        {"BASE", c.base_installed() && c.base_update_enabled(), c.base_drl_path(), c.base_custom_drl_path(), "bases",
         !c.base_drl_path().empty() && !c.virus_base_dir().empty(),
         fs::path(c.virus_base_dir()) / mirror_tree::zone_ini,
         [&c](zone_t& zone) {
             map_file(zone, c.base_drl_path(), mirror_tree::server_list, "Update.BaseDrlPath");
             map_file(zone, c.core_engine_path(), "tavik32.dll", "Root.CoreEnginePath");
             map_directory(zone, c.virus_base_dir(), "Root.VirusBaseDir");
         }},
        {"VERSION", c.version_installed() && c.version_update_enabled(), c.version_drl_path(), std::string(), "version",
         !c.version_drl_path().empty() && !c.version_dir().empty(), fs::path(c.version_dir()) / mirror_tree::zone_ini,
         [&c](zone_t& zone) {
             map_file(zone, c.version_drl_path(), mirror_tree::server_list, "Update.VersionDrlPath");
             map_directory(zone, c.version_dir(), "Root.VersionDir");
         }},
        {"NRD", c.nrd_installed() && c.nrd_update_enabled(), c.nrd_drl_path(), c.nrd_custom_drl_path(), "nrd",
         !c.nrd_drl_path().empty() && !c.nrd_dir().empty(), fs::path(c.nrd_dir()) / mirror_tree::zone_ini,
         [&c](zone_t& zone) {
             map_file(zone, c.nrd_drl_path(), mirror_tree::server_list, "Update.NrdDrlPath");
             map_directory(zone, c.nrd_dir(), "Root.NrdDir");
         }},
        {"ANTISPAM", c.antispam_installed() && c.antispam_update_enabled(), c.antispam_drl_path(),
         c.antispam_custom_drl_path(), "antispam", !c.antispam_drl_path().empty(), antispam_dir / mirror_tree::zone_ini,
         [&c, antispam_dir](zone_t& zone) {
             map_file(zone, c.antispam_drl_path(), mirror_tree::server_list, "Update.AntispamDrlPath");
             if (!c.antispam_drl_path().empty())
                 zone.add_file(antispam_dir / mirror_tree::zone_ini, mirror_tree::zone_ini);
             if (!c.antispam_core_path().empty() && c.antispam_core().empty())
                 LOG_WARNING("Config option AntispamCore name is empty");
             else
                 map_file(zone, c.antispam_core_path(), c.antispam_core(), "Root.AntispamCorePath");
         }},
    };
}

// What servers asked of later runs is kept however the attempt ends.
struct waits_guard_t {
    updater_t& updater;
    const tvk::UpdateConfig& config;
    ~waits_guard_t() { updater.record_waits(config); }
};

// What the report says of a zone.
run_report_t::zone_t report_of(zone_t& zone, std::size_t placed = 0, std::size_t removed = 0, std::size_t kept = 0) {
    return {zone.name(),
            zone.mirrors().list_server(),
            zone.lst().stamp(),
            zone.lst().expiry(),
            zone.expired(),
            placed,
            removed,
            kept};
}

}  // namespace

updater_t::updater_t(boost::asio::io_service& io_service, progress_t& progress, const run_settings_t& settings)
    : io_service_(io_service),
      progress_(progress),
      counter_(progress),
      settings_(settings),
      downloader_(io_service, counter_) {
    settings_.configure(downloader_);
#if TAVIK_HTTP2
    if (settings_.http2) pool_ = std::make_shared<h2_pool_t>(io_service, counter_);
#endif
    downloader_.set_pool(pool_.get(), true);
}

void updater_t::update(const tvk::UpdateConfig& config) {
    if (!config.network_timeout()) LOG_WARNING("Config option network_timeout is not set, using 60 s");
    const waits_guard_t waits_guard{*this, config};
    try {
        update_once(config, true);
    } catch (const list_republished_t& e) {
        // Once: what was verified stays in the download folders and is not fetched again; a mirror
        // that republishes again meanwhile fails as any other would.
        LOG_NOTICE(e.what() << "; starting over");
        update_once(config, false);
    }
}

void updater_t::update_once(const tvk::UpdateConfig& config, bool recheck_lists) {
    plan_.reset(plan_zones(config));
    checker_t checker(config.update_dir());
    hash_installed(checker);
    try {
        fetch_all(checker, recheck_lists);
    } catch (const std::exception& e) {
        if (!out_of_space(e)) throw;
        // This machine's failure, named where the administrator can act: no server is to blame.
        LOG_DEBUG(exception_text(e));
        throw fs::filesystem_error("update_dir: no space left", config.update_dir(), error_code_of(e));
    }

    for (zone_t& zone : plan_.zones()) {
        plan_.remove(zone.removed_files());
        if (report_)
            report_->set_zone(
                report_of(zone, zone.changed_files(checker).size(), zone.removed_files().size(), zone.kept_count()));
        expired_ = expired_ || zone.expired();
    }
    plan_.collect_up_to_date();
}

void updater_t::fetch_all(checker_t& checker, bool recheck_lists) {
    std::uint32_t files = 0, bytes = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> jobs;  // (zone, file) in list order
    std::vector<zone_t>& zones = plan_.zones();
    for (std::uint32_t z = 0; z < zones.size(); ++z) {
        for (const std::uint32_t index : zones[z].changed_files(checker))
            jobs.emplace_back(z, index), ++files, bytes += zones[z].lst().size(index);
        load_patch_index(zones[z], checker);
    }
    progress_.start_download(files, bytes);
    file_fetch_t fetch(checker, settings_.patches, recheck_lists);
    // Over a multiplexed connection every file's first request is in flight at once; the lanes
    // then take each file from there.
    if (pool_)
        for (const auto& job : jobs) fetch.prefetch(downloader_, zones[job.first], zones[job.first].item(job.second));
    const auto fetch_job = [&](downloader_t& downloader, std::size_t i) {
        zone_t& zone = zones[jobs[i].first];
        const file_item_t item = zone.item(jobs[i].second);
        progress_.set_current_file(std::string(zone.lst().name(jobs[i].second)));
        fetch.fetch(downloader, zone, item);
        progress_.file_done(item.size);
    };
    if (settings_.connections <= 1 || jobs.size() <= 1) {
        for (std::size_t i = 0; i < jobs.size(); ++i) fetch_job(downloader_, i);
    } else {
        const auto make_downloader = [this](boost::asio::io_service& io_service) {
            auto downloader = std::make_unique<downloader_t>(io_service, counter_);
            settings_.configure(*downloader);
            downloader->share_proxy_challenge(downloader_);
            downloader->set_pool(pool_.get(), false);
            return downloader;
        };
        fetch_pool_t(settings_.connections, make_downloader, fetch_job).run(jobs.size(), downloader_);
    }
    if (pool_) downloader_.drop_prefetched();
    // Whatever order the downloads finished in, the request lists them in the list's order.
    for (const auto& job : jobs) plan_.place(job.first, job.second);
}

void updater_t::hash_installed(checker_t& checker) {
    std::string path;
    for (const zone_t& zone : plan_.zones()) {
        zone.each_mapped([&](std::uint32_t index) {
            const auto to = zone.destination(index);
            checker.add(path.assign(to.first).append(to.second));
        });
    }
    checker.hash_all(counter_);
}

void updater_t::load_patch_index(zone_t& zone, checker_t& checker) {
    const auto& changed = zone.changed_files(checker);
    // Asked once a run, and only when a file with an installed copy is to be fetched.
    if (settings_.patches && std::any_of(changed.begin(), changed.end(), [&](std::uint32_t index) {
            return file_fetch_t::patchable(zone.item(index));
        }))
        zone.load_patch_index(downloader_);
}

void updater_t::check(const tvk::UpdateConfig& config) {
    const waits_guard_t waits_guard{*this, config};  // a server's wait holds for the runs after a check too
    plan_.reset(plan_zones(config));
    checker_t checker(config.update_dir());
    hash_installed(checker);
    file_fetch_t fetch(checker, settings_.patches);
    for (zone_t& zone : plan_.zones()) {
        load_patch_index(zone, checker);
        const auto& changed = zone.changed_files(checker);
        run_report_t::zone_t r = report_of(zone, 0, 0, zone.kept_count());
        for (const std::uint32_t index : changed) {
            const file_item_t item = zone.item(index);
            const std::uint64_t patch = fetch.patch_size(zone, item);
            r.pending_bytes += item.size, r.patched_bytes += patch ? patch : item.size;
            r.add_to_place(std::string(zone.lst().name(index)));
        }
        expired_ = expired_ || zone.expired();
        r.pending = changed.size() + zone.removed_files().size();
        LOG_NOTICE("Zone " << zone.name() << ": " << r.pending << " files to place or remove, " << r.pending_bytes
                           << " bytes to fetch"
                           << (r.patched_bytes != r.pending_bytes
                                   ? ", " + std::to_string(r.patched_bytes) + " with patches"
                                   : std::string()));
        if (report_) report_->set_zone(r);
    }
}

std::vector<zone_t> updater_t::plan_zones(const tvk::UpdateConfig& config) {
    const fs::path update_dir = config.update_dir();
    const std::vector<std::string> excluded(config.excluded_files().item().begin(),
                                            config.excluded_files().item().end());
    const std::vector<zone_row_t> table = zone_table(config);
    if (std::none_of(table.begin(), table.end(), [](const zone_row_t& row) { return row.enabled; })) {
        LOG_WARNING("No zone is installed and enabled: there is nothing to update");
    }
    load_stamps(update_dir);
    load_waits(config);
    std::vector<zone_t> zones;
    for (const zone_row_t& row : table) {
        if (!row.enabled) continue;
        try {
            LOG_DEBUG("Update from zone " << row.name << " is planned");
            zone_t zone(row.name, row.drl_path, row.custom_drl_path, update_dir / row.download_dir, waits_,
                        settings_.proxied());
            const auto recorded = stamps_.find(row.name);
            zone.download_lst(downloader_, excluded, recorded == stamps_.end() ? "" : recorded->second);
            if (!settings_.check) zone.prepare_download_dir();
            stamps_[row.name] = zone.lst().stamp();
            signers_[row.name] = zone.lst().signers();
            if (report_) report_->set_zone(report_of(zone));
            row.map_files(zone);
            zones.push_back(std::move(zone));
        } catch (const std::exception& e) {
            // The status alone goes on (the other loops pass it through unchanged): its cause is
            // in the log first.
            LOG_ERROR("Zone " << row.name << ": " << exception_text(e));
            throw cf_outcome_t(exit_code_of(e));
        }
    }
    return zones;
}

void updater_t::load_stamps(const fs::path& update_dir) {
    stamps_ = stamps_file_t::load(update_dir / work_folder::stamps);
    signers_ = stamp_signers_file_t::load(update_dir / work_folder::stamp_signers);
    // A key that was stolen could have signed a stamp no honest list reaches; once a build no
    // longer holds it, its stamps give way and the next run takes the newest honest list.
    for (auto it = signers_.begin(); it != signers_.end();) {
        if (!list_trust_t::built_in().retired(it->second) || !stamps_.count(it->first)) {
            ++it;
            continue;
        }
        std::string ids;
        for (const std::string& id : it->second) ids += (ids.empty() ? "" : ", ") + id;
        LOG_NOTICE("Zone " << it->first << ": the recorded stamp " << stamps_[it->first]
                           << " was set by a list signed by " << ids << ", no key of this build: it no longer holds");
        stamps_.erase(it->first), it = signers_.erase(it);
    }
}

void updater_t::load_waits(const tvk::UpdateConfig& config) {
    std::lock_guard<std::mutex> lock(waits_->mutex);
    waits_->until = servers_file_t::load(fs::path(config.update_dir()) / work_folder::servers, std::time(nullptr));
}

void updater_t::record_waits(const tvk::UpdateConfig& config) {
    const fs::path path = fs::path(config.update_dir()) / work_folder::servers;
    std::lock_guard<std::mutex> lock(waits_->mutex);
    if (!waits_->changed || settings_.dry_run) return;
    try {
        servers_file_t::save(path, waits_->until, std::time(nullptr));
        waits_->changed = false;
    } catch (const std::exception& e) {
        LOG_WARNING("Servers " << path << ": " << exception_text(e));
    }
}

void updater_t::record_stamps(const tvk::UpdateConfig& config) {
    const fs::path path = fs::path(config.update_dir()) / work_folder::stamps;
    if (settings_.dry_run) return;
    try {
        stamp_signers_file_t::save(fs::path(config.update_dir()) / work_folder::stamp_signers, signers_);
        stamps_file_t::save(path, stamps_);
    } catch (const std::exception& e) {
        LOG_WARNING("Stamps " << path << ": " << exception_text(e));
    }
}

std::vector<zone_fallback_t> updater_t::plan_fallback(const tvk::UpdateConfig& config) {
    std::vector<zone_fallback_t> plans;
    for (const zone_row_t& row : zone_table(config)) {
        if (!row.enabled || !row.fallback) continue;
        try {
            LOG_DEBUG("Fallback update from zone " << row.name << " is planned");
            plans.emplace_back(row.name, row.zone_ini, row.drl_path, fs::path(config.update_dir()) / row.download_dir);
        } catch (const std::exception& e) {
            LOG_ERROR("Zone " << row.name << " (fallback): " << exception_text(e));
        }
    }
    return plans;
}

void updater_t::fallback(const tvk::UpdateConfig& config) {
    std::vector<zone_fallback_t> plans = plan_fallback(config);
    plan_.reset({});
    load_waits(config);
    for (const zone_fallback_t& plan : plans) {
        try {
            LOG_DEBUG("Fallback update from zone " << plan.name() << " is started");
            plan_.place(plan.download(settings_, io_service_, waits_));
        } catch (const std::exception& e) {
            LOG_ERROR("Zone " << plan.name() << ": " << exception_text(e));
        }
    }
    record_waits(config);
}

void updater_t::fetch(checker_t& checker, const url_t& url, const fs::path& target, const std::string& expected,
                      bool packed, std::uint32_t size) {
    file_fetch_t(checker, settings_.patches).fetch(downloader_, url, target, expected, packed, size);
}

}  // namespace upd
