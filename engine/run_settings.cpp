// How a run goes, whatever its zones: read once from the configuration and the environment.
#include "engine/run_settings.hpp"

#include "files/report_file.hpp"
#include "framework/version.hpp"
#include "net/downloader.hpp"
#include "net/rate_limit.hpp"

#include <cstdlib>
#include <cstring>

namespace upd {

namespace {

bool environment_says(const char* name, const char* value) {
    const char* text = std::getenv(name);
    return text && std::strcmp(text, value) == 0;
}

// A whole decimal number from `low` to `high`; `otherwise` when unset or anything else.
unsigned environment_number(const char* name, unsigned long low, unsigned long high, unsigned otherwise) {
    const char* text = std::getenv(name);
    char* end = nullptr;
    const unsigned long n = text ? std::strtoul(text, &end, 10) : 0;
    return text && *text && !*end && n >= low && n <= high ? static_cast<unsigned>(n) : otherwise;
}

}  // namespace

constexpr std::chrono::milliseconds run_settings_t::default_timeout;
constexpr unsigned run_settings_t::max_lock_wait;

run_settings_t run_settings_t::from(const tvk::UpdateConfig& config) {
    run_settings_t s;
    s.connections = environment_number("TAVIK_DOWNLOAD_CONNECTIONS", 1, max_connections, TAVIK_DOWNLOAD_CONNECTIONS);
    s.lock_wait = environment_number("TAVIK_LOCK_WAIT", 0, max_lock_wait, 0);
    s.keep_alive = !environment_says("TAVIK_KEEP_ALIVE", "0");
    s.http2 = TAVIK_HTTP2 && !environment_says("TAVIK_HTTP2", "0");
    s.patches = !environment_says("TAVIK_PATCHES", "0");
    s.dry_run = environment_says("TAVIK_DRY_RUN", "1");
    s.check = environment_says("TAVIK_CHECK", "1");
    if (config.network_timeout()) s.timeout = std::chrono::milliseconds(config.network_timeout());
    s.user_agent = std::string("TavikUpdate-BSD-") + upd_version + " (" + config.installed_applications() + ")";
    if (config.has_proxy()) s.proxy = config.proxy();
    if (const char* rate = std::getenv("TAVIK_MAX_RATE")) {
        const auto bytes = rate_limit_t::parse(rate);
        if (bytes) s.rate_limit = std::make_shared<rate_limit_t>(*bytes, std::chrono::steady_clock::now());
        s.rate_malformed = !bytes;
    }
    const char* run_id = std::getenv("TAVIK_RUN_ID");
    if (run_id && report_file_t::valid_run_id(run_id)) s.run_id = run_id;
    return s;
}

void run_settings_t::configure(downloader_t& downloader) const {
    downloader.set_proxy(proxy);
    downloader.set_keep_alive(keep_alive);
    downloader.set_timeout(timeout);
    downloader.set_rate_limit(rate_limit);
    downloader.add_header("User-Agent", user_agent);
}

}  // namespace upd
