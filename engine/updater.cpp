// One update run on the worker thread: plan the zones, compare, download, collect what to install.
#include "engine/updater.hpp"

#include "engine/fetch_pool.hpp"

#include "framework/version.hpp"
#include "control/progress.hpp"
#include "files/apply_patch.hpp"
#include "files/checker.hpp"
#include "files/lzma_decompress.hpp"
#include "files/patch_index.hpp"
#include "framework/digest.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"
#include "net/server_failure.hpp"
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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace upd {

namespace {

const char lzma_suffix[] = ".lzma";
const char stamps_file_name[] = "tavik-update.stamps";
const char servers_file_name[] = "tavik-update.servers";

// A file of the work folder made anew with these bytes; a failed write or close is no file.
void write_fresh(const std::string& path, const std::vector<char>& bytes) {
    boost::system::error_code ec;
    fd_guard_t fd(create_fresh(path.c_str(), ec));
    if (fd.get() < 0) throw fs::filesystem_error("open", path, ec);
    write_all(fd.get(), bytes.data(), bytes.size());
    if (fd.close_checked() != 0) throw fs::filesystem_error("write", path, last_errno());
}

// Not followed: a FIFO or link the run-as account planted in the work folder is no download.
bool regular_file(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool environment_says(const char* name, const char* value) {
    const char* text = std::getenv(name);
    return text && std::strcmp(text, value) == 0;
}

void log_download(const fs::path& path) {
    LOG_NOTICE("Downloaded " << path.filename().string() << " (" << fs::file_size(path) << " bytes)");
}

void log_md5(checker_t& checker, const fs::path& path) {
    LOG_DEBUG(path.filename().string() << " MD5 " << to_hex(checker.md5(path)));
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
    : io_service_(io_service), progress_(progress), counter_(progress), downloader_(io_service, counter_), connections_(download_connections()) {
    configure(downloader_, config);
}

std::size_t updater_t::download_connections() {
    // Set by whoever starts the updater (tavik-run --connections); anything else: the build's.
    const char* text = std::getenv("TAVIK_DOWNLOAD_CONNECTIONS");
    char* end = nullptr;
    const unsigned long n = text ? std::strtoul(text, &end, 10) : 0;
    return text && *text && !*end && n >= 1 && n <= max_download_connections ? n : TAVIK_DOWNLOAD_CONNECTIONS;
}

// The switches set by whoever starts the updater (tavik-run --no-patches, --dry-run, --no-keep-alive).
bool updater_t::patches_enabled() { return !environment_says("TAVIK_PATCHES", "0"); }
bool updater_t::dry_run() { return environment_says("TAVIK_DRY_RUN", "1"); }
bool updater_t::keep_alive() { return !environment_says("TAVIK_KEEP_ALIVE", "0"); }

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
        bool patchable = false;
        for (const file_item_t& item : zone.changed_files(checker)) {
            jobs.emplace_back(&zone, item);
            patchable = patchable || (item.size <= max_patched_size && regular_file(item.destination));
        }
        // Asked once a run, and only when a file with an installed copy is to be fetched.
        if (patchable && patches_enabled()) zone.load_patch_index(downloader_);
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
            auto downloader = std::make_unique<downloader_t>(io_service, counter_);
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
    // The cached digest of the installed copy picks the patch; the copy itself is checked again.
    if (zone.patches().size() && item.size <= max_patched_size && regular_file(item.destination)) {
        const std::string installed = to_hex(checker.sha256(item.destination));
        if (zone.patches().offers(name, installed, to_hex(item.sha256)) && fetch_patch(downloader, zone, item, installed)) return;
    }
    std::set<std::string> tried;
    std::exception_ptr first;
    while (const auto server = zone.mirrors().for_file(tried)) {
        std::string asked;
        try {
            fetch(downloader, checker, url_t(*server, name), item.source, item.sha256, !lst_file_t::is_timestamp(name), item.size, &asked);
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

bool updater_t::fetch_patch(downloader_t& downloader, zone_t& zone, const file_item_t& item, const std::string& installed) {
    const std::string path = patch_index_t::patch_path(installed, to_hex(item.sha256)), patch = item.source + ".patch";
    std::set<std::string> tried;
    while (const auto server = zone.mirrors().for_file(tried)) {
        const url_t url(*server, path);
        try {
            // No patch worth its name is larger than the file it makes.
            downloader.get_to_file(url, patch, item.size, true);
        } catch (const std::exception& e) {
            // A server without this patch is no failed server: the file comes whole.
            if (dynamic_cast<const server_failure_t*>(&e) && exit_code_of(e) == tvk::EC_NO_SUCH_ENTRY) return false;
            if (!mirrors_t::is_server_failure(e)) throw;
            zone.mirrors().failed(*server, url.to_string(), e);
            tried.insert(*server);
            continue;
        }
        try {
            std::lock_guard<std::mutex> lock(patch_mutex_);
            const auto started = std::chrono::steady_clock::now();
            const std::vector<char> reference = read_regular_file(item.destination, max_patched_size);
            if (to_hex(cf_digest_t::of(reference.data(), reference.size())) != installed) {
                LOG_DEBUG("Download: " << fs::path(item.destination) << ": changed since its digest was cached; the whole file");
            } else {
                const std::vector<char> bytes = read_regular_file(patch, item.size, O_NOFOLLOW);
                const std::vector<char> result = apply_patch(reference.data(), reference.size(), bytes.data(), bytes.size(), item.size);
                if (cf_digest_t::of(result.data(), result.size()) != item.sha256) throw_bad_checksum(item.source);
                write_fresh(item.source, result);
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
                LOG_NOTICE("Patched " << fs::path(item.source).filename().string() << " (" << bytes.size() << " bytes for " << result.size()
                                      << ") in " << ms << " ms");
                ::unlink(patch.c_str());
                return true;
            }
        } catch (const std::exception& e) {
            // A damaged patch, or one that makes another file: the whole file, once.
            LOG_WARNING("Zone " << zone.name() << ": " << url.to_string() << ": " << mirrors_t::cause(e) << "; the whole file instead");
        }
        ::unlink(patch.c_str());
        return false;
    }
    return false;
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
                resumed = downloader.get_to_file(packed_url, temporary, std::min(max_in_memory, lzma_header_size + lzma_packed_bound(size)), true);
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
