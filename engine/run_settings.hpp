// How a run goes, whatever its zones: read once from the configuration and the environment.
#pragma once

#include "update_config.pb.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace upd {

class downloader_t;
class rate_limit_t;

// Built once before the attempt from the configuration and the switches set in the environment by
// whoever starts the updater (tavik-run --connections, --no-keep-alive, --no-patches, --dry-run,
// --check, --wait, --http1.1).
struct run_settings_t {
    static constexpr std::size_t max_connections = 16;
    // The time-out of every network step when the configuration sets none (or 0): without one
    // every step would time out the moment it started.
    static constexpr std::chrono::milliseconds default_timeout{60000};
    static constexpr unsigned max_lock_wait = 86400;  // a day: a longer wait is no wait but a hang

    std::size_t connections = 1;  // downloads at once (TAVIK_DOWNLOAD_CONNECTIONS, 1 to 16)
    bool keep_alive = true;       // connections kept between requests (unless TAVIK_KEEP_ALIVE=0)
    // HTTPS offers HTTP/2 (unless TAVIK_HTTP2=0, or built without it): a server that chooses it
    // is asked for all its files over one connection.
    bool http2 = false;
    bool patches = true;   // patches fetched (unless TAVIK_PATCHES=0)
    bool dry_run = false;  // nothing left in update_dir that changes a later run (TAVIK_DRY_RUN=1)
    // The lists compared and the patch indexes read, nothing else fetched, and nothing placed,
    // removed or recorded but the hash cache and the servers' waits; the report counts what a run
    // would do (TAVIK_CHECK=1).
    bool check = false;
    unsigned lock_wait = 0;  // seconds to wait for another run's lock on update_dir (TAVIK_LOCK_WAIT)
    std::chrono::milliseconds timeout = default_timeout;
    std::string user_agent;
    std::string run_id;  // TAVIK_RUN_ID, for the report: whoever started the updater tells its runs apart
    tvk::Proxy proxy;
    // Bytes a second over all of the run's connections (TAVIK_MAX_RATE); none: no limit.
    std::shared_ptr<rate_limit_t> rate_limit;
    bool rate_malformed = false;  // TAVIK_MAX_RATE set to something that is no rate, and ignored

    static run_settings_t from(const tvk::UpdateConfig& config);
    // Whether a proxy is configured through which plain HTTP goes.
    bool proxied() const { return proxy.type() == tvk::Proxy::PROXY_TYPE_HTTP; }
    // The proxy, keep-alive, time-out, rate limit and User-Agent of every downloader of the run.
    void configure(downloader_t& downloader) const;
};

}  // namespace upd
