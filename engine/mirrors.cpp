// Which server of a zone to ask next, and why.
#include "engine/mirrors.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "net/server_failure.hpp"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <ctime>

namespace upd {

namespace {

std::string utc_minute(long long seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}

}  // namespace

mirrors_t::mirrors_t(std::string zone, std::vector<std::string> drawn, std::shared_ptr<waits_t> waits, bool proxied)
    : zone_(std::move(zone)), drawn_(std::move(drawn)), waits_(std::move(waits)), proxied_(proxied) {}

bool mirrors_t::waiting(const std::string& server, long long now) const {
    const auto it = waits_->until.find(server);
    return it != waits_->until.end() && it->second > now;
}

std::vector<std::string> mirrors_t::for_list() const {
    std::lock_guard<std::mutex> lock(waits_->mutex);
    const long long now = std::time(nullptr);
    std::vector<std::string> servers;
    for (const auto& s : drawn_)
        if (!waiting(s, now)) servers.push_back(s);
    if (servers.empty() && !drawn_.empty()) {
        // What one server says never silences a zone: the wait that ends first is cut short.
        servers.push_back(*std::min_element(drawn_.begin(), drawn_.end(), [this](const std::string& a, const std::string& b) {
            return waits_->until.at(a) < waits_->until.at(b);
        }));
        LOG_NOTICE("Zone " << zone_ << ": every server asked to be left alone; asking " << servers.front() << " all the same");
    }
    return servers;
}

void mirrors_t::took_list(const std::string& server) {
    std::lock_guard<std::mutex> lock(mutex_);
    chosen_ = server;
}

std::string mirrors_t::list_server() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chosen_;
}

boost::optional<std::string> mirrors_t::for_file(const std::set<std::string>& tried) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::lock_guard<std::mutex> waits_lock(waits_->mutex);
    const long long now = std::time(nullptr);
    std::vector<std::string> order{chosen_};
    order.insert(order.end(), drawn_.begin(), drawn_.end());
    boost::optional<std::string> failed_one;
    for (const auto& s : order) {
        if (s.empty() || tried.count(s) || busy_.count(s) || (s != chosen_ && waiting(s, now))) continue;
        if (!failed_.count(s)) return s;
        if (!failed_one) failed_one = s;
    }
    return failed_one;
}

void mirrors_t::passed_over(const std::string& server) {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_.insert(server);
}

void mirrors_t::failed(const std::string& server, const std::string& url, const std::exception& e) {
    std::string why = cause(e);
    const auto* status = dynamic_cast<const http_status_error_t*>(&e);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_.insert(server);
        if (status && (status->status() == 429 || status->status() == 503)) {
            busy_.insert(server);
            if (status->retry_after() > 0) {
                const long long until = static_cast<long long>(std::time(nullptr)) + status->retry_after();
                why += ", busy until " + utc_minute(until);
                // Through a proxy, plain HTTP gets the proxy's own 503 as readily as the server's.
                if (!(proxied_ && boost::algorithm::istarts_with(url, "http:"))) {
                    std::lock_guard<std::mutex> waits_lock(waits_->mutex);
                    waits_->until[server] = until;
                    waits_->changed = true;
                }
            }
        }
    }
    LOG_WARNING("Zone " << zone_ << ": " << url << ": " << why);
}

bool mirrors_t::is_server_failure(const std::exception& e) {
    if (dynamic_cast<const server_failure_t*>(&e)) return true;
    const tvk::ErrorCode code = exit_code_of(e);
    return code == tvk::EC_BAD_CHECKSUM || code == tvk::EC_BAD_LZMA_FILE || code == tvk::EC_BAD_LST_FILE;
}

std::string mirrors_t::cause(const std::exception& e) {
    if (const auto* failure = dynamic_cast<const server_failure_t*>(&e)) return failure->cause();
    switch (exit_code_of(e)) {
        case tvk::EC_BAD_CHECKSUM: return "digest mismatch";
        case tvk::EC_BAD_LZMA_FILE: return "damaged packed file";
        case tvk::EC_BAD_LST_FILE:
            return std::string(e.what()) == "Invalid LST-file signature" ? "signature check failed" : "damaged file list";
        default: return error_code_text(exit_code_of(e));
    }
}

}  // namespace upd
