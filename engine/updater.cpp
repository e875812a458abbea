// One update run on the worker thread: plan the zones, compare, download, collect what to install.
#include "engine/updater.hpp"

#include "engine/fetch_pool.hpp"

#include "framework/version.hpp"
#include "control/progress.hpp"
#include "files/checker.hpp"
#include "files/lzma_decompress.hpp"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "net/url.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/exception.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <functional>
#include <iomanip>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace upd {

namespace {

const char lzma_suffix[] = ".lzma";
const char stamps_file_name[] = "tavik-update.stamps";
const char servers_file_name[] = "tavik-update.servers";

std::string hex(const std::string& bytes) {
    std::ostringstream out;
    out << std::hex << std::setfill('0');
    for (unsigned char c : bytes) out << std::setw(2) << static_cast<unsigned>(c);
    return out.str();
}

// Not followed: a FIFO or link the run-as account planted in the work folder is no download.
bool regular_file(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void log_download(const fs::path& path) {
    LOG_NOTICE("Downloaded " << path.filename().string() << " (" << fs::file_size(path) << " bytes)");
}

void log_md5(checker_t& checker, const fs::path& path) {
    LOG_DEBUG(path.filename().string() << " MD5 " << hex(checker.md5(path)));
}

// The file that failed its digest stays where it is: it is never offered for installation, and
// the next run finds its digest wrong and fetches it again.
[[noreturn]] void throw_bad_checksum(const fs::path& target) {
    throw fs::filesystem_error("SHA256", target, tvk::make_error_code(tvk::EC_BAD_CHECKSUM));
}

// One row of the zone table: which flags enable a zone and where its files live.
struct zone_plan_t {
    const char* name;
    bool enabled;
    std::string drl_path;
    std::string custom_drl_path;
    const char* download_dir;
    std::function<void(zone_t&)> map_files;
};

void warn_empty(const char* option) { LOG_WARNING("Config option " << option << " is empty"); }

}  // namespace

updater_t::updater_t(boost::asio::io_service& io_service, progress_t& progress, const tvk::UpdateConfig& config)
    : io_service_(io_service), progress_(progress), downloader_(io_service, progress), connections_(download_connections()) {
    configure(downloader_, config);
}

std::size_t updater_t::download_connections() {
    // Set by whoever starts the updater (tavik-run --connections); anything else: the build's.
    const char* text = std::getenv("TAVIK_DOWNLOAD_CONNECTIONS");
    char* end = nullptr;
    const unsigned long n = text ? std::strtoul(text, &end, 10) : 0;
    return text && *text && !*end && n >= 1 && n <= max_download_connections ? n : TAVIK_DOWNLOAD_CONNECTIONS;
}

bool updater_t::dry_run() {
    const char* text = std::getenv("TAVIK_DRY_RUN");
    return text && std::string(text) == "1";
}

bool updater_t::keep_alive() {
    // Set by whoever starts the updater (tavik-run --no-keep-alive): a connection per request.
    const char* text = std::getenv("TAVIK_KEEP_ALIVE");
    return !(text && std::string(text) == "0");
}

void updater_t::configure(downloader_t& downloader, const tvk::UpdateConfig& config) {
    downloader.set_proxy(config.has_proxy() ? config.proxy() : tvk::Proxy::default_instance());
    downloader.set_keep_alive(keep_alive());
    // Without a time-out every step would time out the moment it started: nothing could ever be
    // downloaded. The run logs that the default is used.
    const std::int64_t ms = config.network_timeout() ? config.network_timeout() : default_network_timeout_ms;
    downloader.set_timeout(std::chrono::nanoseconds(ms * 1000000));
}

std::string updater_t::user_agent(const tvk::UpdateConfig& config) {
    return std::string("TavikUpdate-BSD-") + upd_version + " (" + config.installed_applications() + ")";
}

void updater_t::update(const tvk::UpdateConfig& config) {
    if (!config.network_timeout()) LOG_WARNING("Config option network_timeout is not set, using 60 s");
    downloader_.add_header("User-Agent", user_agent(config));
    // What servers asked of later runs is kept however the run ends.
    struct waits_guard_t {
        updater_t& updater;
        const tvk::UpdateConfig& config;
        ~waits_guard_t() { updater.record_waits(config); }
    } waits_guard{*this, config};

    std::vector<zone_t> zones = plan_zones(config);

    checker_t checker(config.update_dir());
    for (const zone_t& zone : zones) checker.add(zone.destinations());
    checker.hash_all(progress_);

    std::uint32_t files = 0;
    std::uint32_t bytes = 0;
    for (zone_t& zone : zones) {
        for (const file_item_t& item : zone.changed_files(checker)) {
            ++files;
            bytes += item.size;
        }
    }
    progress_.start_download(files, bytes);

    std::vector<std::pair<zone_t*, file_item_t>> jobs;  // (zone, file) in list order
    for (zone_t& zone : zones) {
        for (const file_item_t& item : zone.changed_files(checker)) jobs.emplace_back(&zone, item);
    }
    const auto fetch_job = [&](downloader_t& downloader, std::size_t i) {
        progress_.set_current_file(fs::path(jobs[i].second.source).filename().string());
        fetch_from_mirrors(downloader, checker, *jobs[i].first, jobs[i].second);
        progress_.file_done(jobs[i].second.size);
    };
    if (connections_ <= 1 || jobs.size() <= 1) {
        for (std::size_t i = 0; i < jobs.size(); ++i) fetch_job(downloader_, i);
    } else {
        const auto make_downloader = [this, &config](boost::asio::io_service& io_service) {
            auto downloader = std::make_unique<downloader_t>(io_service, progress_);
            configure(*downloader, config);
            downloader->add_header("User-Agent", user_agent(config));
            downloader->connection().set_proxy_challenge(downloader_.connection().shared_proxy_challenge());
            return downloader;
        };
        fetch_pool_t(connections_, make_downloader, fetch_job).run(jobs.size(), downloader_);
    }
    // Whatever order the downloads finished in, the request lists them in the list's order.
    for (const auto& job : jobs) to_place_.push_back(job.second);
    for (zone_t& zone : zones) {
        std::set<std::string> removed = zone.removed_files();
        to_remove_.insert(removed.begin(), removed.end());
        std::set<std::string> kept = zone.kept_files();
        up_to_date_.insert(kept.begin(), kept.end());
        if (report_) report_->set_zone({zone.name(), zone.mirrors().list_server(), zone.lst().stamp(), zone.changed_files(checker).size(), removed.size(), kept.size()});
    }
}

std::vector<zone_t> updater_t::plan_zones(const tvk::UpdateConfig& config) {
    const fs::path update_dir = config.update_dir();
    std::vector<std::string> excluded(config.excluded_files().item().begin(), config.excluded_files().item().end());

    const std::vector<zone_plan_t> table = {
        {"BASE", config.base_installed() && config.base_update_enabled(), config.base_drl_path(),
         config.base_custom_drl_path(), "bases",
         [&config](zone_t& zone) {
             if (config.base_drl_path().empty()) warn_empty("Update.BaseDrlPath");
             else zone.add_file(config.base_drl_path(), "update.drl");
             if (config.core_engine_path().empty()) warn_empty("Root.CoreEnginePath");
             else zone.add_file(config.core_engine_path(), "tavik32.dll");
             if (config.virus_base_dir().empty()) warn_empty("Root.VirusBaseDir");
             else zone.add_directory(config.virus_base_dir());
         }},
        {"VERSION", config.version_installed() && config.version_update_enabled(), config.version_drl_path(),
         std::string(), "version",
         [&config](zone_t& zone) {
             if (config.version_drl_path().empty()) warn_empty("Update.VersionDrlPath");
             else zone.add_file(config.version_drl_path(), "update.drl");
             if (config.version_dir().empty()) warn_empty("Root.VersionDir");
             else zone.add_directory(config.version_dir());
         }},
        {"NRD", config.nrd_installed() && config.nrd_update_enabled(), config.nrd_drl_path(),
         config.nrd_custom_drl_path(), "nrd",
         [&config](zone_t& zone) {
             if (config.nrd_drl_path().empty()) warn_empty("Update.NrdDrlPath");
             else zone.add_file(config.nrd_drl_path(), "update.drl");
             if (config.nrd_dir().empty()) warn_empty("Root.NrdDir");
             else zone.add_directory(config.nrd_dir());
         }},
        {"ANTISPAM", config.antispam_installed() && config.antispam_update_enabled(), config.antispam_drl_path(),
         config.antispam_custom_drl_path(), "antispam",
         [&config](zone_t& zone) {
             if (config.antispam_drl_path().empty()) {
                 warn_empty("Update.AntispamDrlPath");
             } else {
                 zone.add_file(config.antispam_drl_path(), "update.drl");
                 zone.add_file(fs::path(config.antispam_drl_path()).parent_path() / "zone.ini", "zone.ini");
             }
             if (config.antispam_core_path().empty()) {
                 warn_empty("Root.AntispamCorePath");
             } else if (config.antispam_core().empty()) {
                 LOG_WARNING("Config option AntispamCore name is empty");
             } else {
                 zone.add_file(config.antispam_core_path(), config.antispam_core());
             }
         }},
    };

    if (std::none_of(table.begin(), table.end(), [](const zone_plan_t& plan) { return plan.enabled; })) {
        LOG_WARNING("No zone is installed and enabled: there is nothing to update");
    }
    stamps_ = stamps_file_t::load(update_dir / stamps_file_name);
    waits_->until = servers_file_t::load(update_dir / servers_file_name);
    std::vector<zone_t> zones;
    for (const zone_plan_t& plan : table) {
        if (!plan.enabled) continue;
        try {
            LOG_DEBUG("Update from zone " << plan.name << " is planned");
            zone_t zone(plan.name, plan.drl_path, plan.custom_drl_path, update_dir / plan.download_dir, waits_, config.has_proxy() &&
                        config.proxy().type() == tvk::Proxy::PROXY_TYPE_HTTP);
            const auto recorded = stamps_.find(plan.name);
            zone.download_lst(downloader_, excluded, recorded == stamps_.end() ? "" : recorded->second);
            stamps_[plan.name] = zone.lst().stamp();
            if (report_) report_->set_zone({plan.name, zone.mirrors().list_server(), zone.lst().stamp(), 0, 0, 0});
            plan.map_files(zone);
            zones.push_back(std::move(zone));
        } catch (const std::exception& e) {
            LOG_ERROR("Zone " << plan.name << ": " << exception_text(e));
            throw exit_code_of(e);
        }
    }
    return zones;
}

void updater_t::record_waits(const tvk::UpdateConfig& config) {
    const fs::path path = fs::path(config.update_dir()) / servers_file_name;
    std::lock_guard<std::mutex> lock(waits_->mutex);
    if (!waits_->changed || dry_run()) return;
    try {
        servers_file_t::save(path, waits_->until, std::time(nullptr));
        waits_->changed = false;
    } catch (const std::exception& e) {
        LOG_WARNING("Servers " << path << ": " << exception_text(e));
    }
}

void updater_t::record_stamps(const tvk::UpdateConfig& config) {
    const fs::path path = fs::path(config.update_dir()) / stamps_file_name;
    if (dry_run()) return;
    try {
        stamps_file_t::save(path, stamps_);
    } catch (const std::exception& e) {
        LOG_WARNING("Stamps " << path << ": " << exception_text(e));
    }
}

std::vector<zone_fallback_t> updater_t::plan_fallback(const tvk::UpdateConfig& config) {
    const fs::path update_dir = config.update_dir();
    struct fallback_plan_t {
        const char* name;
        bool planned;
        fs::path zone_ini;
        std::string drl_path;
        const char* download_dir;
    };
    const fallback_plan_t table[] = {
        {"BASE",
         config.base_installed() && config.base_update_enabled() && !config.base_drl_path().empty() &&
             !config.virus_base_dir().empty(),
         fs::path(config.virus_base_dir()) / "zone.ini", config.base_drl_path(), "bases"},
        {"VERSION",
         config.version_installed() && config.version_update_enabled() && !config.version_drl_path().empty() &&
             !config.version_dir().empty(),
         fs::path(config.version_dir()) / "zone.ini", config.version_drl_path(), "version"},
        {"NRD",
         config.nrd_installed() && config.nrd_update_enabled() && !config.nrd_drl_path().empty() &&
             !config.nrd_dir().empty(),
         fs::path(config.nrd_dir()) / "zone.ini", config.nrd_drl_path(), "nrd"},
        {"ANTISPAM",
         config.antispam_installed() && config.antispam_update_enabled() && !config.antispam_drl_path().empty(),
         fs::path(config.antispam_drl_path()).parent_path() / "zone.ini", config.antispam_drl_path(), "antispam"},
    };
    std::vector<zone_fallback_t> plans;
    for (const fallback_plan_t& plan : table) {
        if (!plan.planned) continue;
        try {
            LOG_DEBUG("Fallback update from zone " << plan.name << " is planned");
            plans.emplace_back(plan.name, plan.zone_ini, plan.drl_path, update_dir / plan.download_dir);
        } catch (const std::exception& e) {
            LOG_ERROR("Zone " << plan.name << " (fallback): " << exception_text(e));
        }
    }
    return plans;
}

void updater_t::fallback(const tvk::UpdateConfig& config) {
    std::vector<zone_fallback_t> plans = plan_fallback(config);
    to_place_.clear();
    to_remove_.clear();
    up_to_date_.clear();
    for (const zone_fallback_t& plan : plans) {
        try {
            LOG_DEBUG("Fallback update from zone " << plan.name() << " is started");
            to_place_.push_back(plan.download(config, io_service_));
        } catch (const std::exception& e) {
            LOG_ERROR("Zone " << plan.name() << ": " << exception_text(e));
        }
    }
}

void updater_t::fetch_from_mirrors(downloader_t& downloader, checker_t& checker, zone_t& zone, const file_item_t& item) {
    const std::string name = fs::path(item.source).filename().string();
    std::set<std::string> tried;
    std::exception_ptr first;
    while (const auto server = zone.mirrors().for_file(tried)) {
        std::string asked;
        try {
            fetch(downloader, checker, url_t(*server, name), item.source, item.sha256, name != "timestamp", item.size, &asked);
            return;
        } catch (const std::exception& e) {
            if (!mirrors_t::is_server_failure(e)) throw;
            zone.mirrors().failed(*server, asked, e);
            tried.insert(*server);
            if (!first) first = std::current_exception();
        }
    }
    // One server: its failure, as it always was. Several: none of them could serve the file.
    if (tried.size() == 1) std::rethrow_exception(first);
    throw boost::system::system_error(tvk::make_error_code(tvk::EC_NO_UPDATE_SERVERS));
}

void updater_t::fetch(checker_t& checker, const url_t& url, const fs::path& target, const std::string& expected,
                      bool packed, std::uint32_t size) {
    fetch(downloader_, checker, url, target, expected, packed, size);
}

void updater_t::fetch(downloader_t& downloader, checker_t& checker, const url_t& url, const fs::path& target,
                      const std::string& expected, bool packed, std::uint32_t size, std::string* asked) {
    if (regular_file(target) && checker.sha256(target) == expected) {
        LOG_DEBUG("Download: " << target << ": has already been downloaded");
        return;
    }
    if (packed) {
        const url_t packed_url(url.to_string() + lzma_suffix);
        const fs::path temporary = target.string() + lzma_suffix;
        if (asked) *asked = packed_url.to_string();
        // A container continued from an earlier part that fails is fetched whole once more: the
        // part may have come from a mirror that packs differently.
        for (std::uint64_t resumed = 1; resumed > 0;) {
            resumed = 0;
            try {
                // No container for this file can be larger; a longer one is refused as it arrives.
                resumed = downloader.get_to_file(packed_url, temporary, std::min(packed_size_limit, lzma_header_size + lzma_packed_bound(size)), true);
                log_download(temporary);
                lzma_decompress_file(temporary, target, size);
                if (::unlink(temporary.c_str()) != 0) {
                    LOG_DEBUG("unlink: " << std::strerror(errno) << ": " << temporary);
                }
                log_md5(checker, target);
                if (checker.sha256(target) != expected) throw_bad_checksum(target);
                return;
            } catch (const std::exception& e) {
                LOG_DEBUG("Download lzma: " << exception_text(e));
                ::unlink(temporary.c_str());
                const boost::system::error_code ec = error_code_of(e);
                // An unpacking cut short (a full disk) leaves a partial target; it held no verified
                // file before, or the download would have been skipped. A complete file that failed
                // its digest is kept, as after a plain download.
                if (ec != tvk::make_error_code(tvk::EC_BAD_CHECKSUM)) ::unlink(target.c_str());
                const bool damaged = ec == tvk::make_error_code(tvk::EC_BAD_CHECKSUM) || ec == tvk::make_error_code(tvk::EC_BAD_LZMA_FILE);
                if (resumed > 0 && damaged) continue;
                // A container cut at the limit could not have been unpacked: treat it as a bad one.
                if (ec != tvk::make_error_code(tvk::EC_NO_SUCH_ENTRY) && ec != tvk::make_error_code(tvk::EC_BAD_LZMA_FILE) &&
                    ec != tvk::make_error_code(tvk::EC_LIMIT_REACHED)) {
                    throw;
                }
            }
        }
    }
    if (asked) *asked = url.to_string();
    for (std::uint64_t resumed = 1; resumed > 0;) {
        resumed = downloader.get_to_file(url, target, size, true);
        log_download(target);
        log_md5(checker, target);
        if (checker.sha256(target) == expected) return;
        if (resumed == 0) throw_bad_checksum(target);
        LOG_DEBUG("Download: " << target << ": continued from " << resumed << " bytes, fails its digest; once more whole");
        ::unlink(target.c_str());
    }
}

}  // namespace upd
