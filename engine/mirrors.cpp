// A zone's servers: which to ask next for one request, and what a server's failure costs.
#include "engine/mirrors.hpp"

#include "files/signature.hpp"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/utc_time.hpp"

#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>
#include <ctime>

namespace upd {

passed_over_t::passed_over_t(const std::string& cause)
    : server_failure_t(tvk::EC_NO_UPDATE_SERVERS, error_code_text(tvk::EC_NO_UPDATE_SERVERS), cause) {}

void mirrors_t::round_t::fail() const {
    if (only && failures == 1) std::rethrow_exception(only);
    const bool all_407 = failures > 0 && refusals_407 == failures;
    throw boost::system::system_error(
        tvk::make_error_code(all_407 ? tvk::EC_PROXY_AUTH_ERROR : tvk::EC_NO_UPDATE_SERVERS));
}

mirrors_t::mirrors_t(std::string zone, std::vector<std::string> drawn, std::shared_ptr<waits_t> waits, bool proxied)
    : zone_(std::move(zone)), drawn_(std::move(drawn)), waits_(std::move(waits)), proxied_(proxied) {}

bool mirrors_t::ask_in_turn(const ask_t& ask, round_t& round) {
    std::set<std::string> tried;
    int continued = 0;
    while (const auto server = next(tried)) {
        std::string asked = *server;
        try {
            ask(*server, asked);
            return true;
        } catch (const std::exception& e) {
            if (!is_server_failure(e)) throw;
            // A zone's one server that cut a transfer it had begun: it is asked for the rest,
            // twice at most (the next run would continue it all the same).
            const auto* cut = dynamic_cast<const server_failure_t*>(&e);
            if (drawn_.size() == 1 && cut && cut->progressed() && continued++ < 2) {
                LOG_NOTICE("Zone " << zone_ << ": " << asked << ": " << cause(e) << "; asking for the rest");
                continue;
            }
            failed(*server, asked, e);
            tried.insert(*server);
            round.refusals_407 += exit_code_of(e) == tvk::EC_PROXY_AUTH_ERROR;
            round.only = ++round.failures == 1 ? std::current_exception() : nullptr;
        }
    }
    return false;
}

void mirrors_t::ask(const ask_t& ask) {
    round_t round;
    if (!ask_in_turn(ask, round)) round.fail();
}

bool mirrors_t::waiting(const std::string& server, long long now) const {
    const auto it = waits_->until.find(server);
    return it != waits_->until.end() && it->second > now;
}

boost::optional<std::string> mirrors_t::next(const std::set<std::string>& tried) const {
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
    if (failed_one || !tried.empty() || !chosen_.empty() || drawn_.empty()) return failed_one;
    // What one server says never silences a zone: the wait that ends first is cut short.
    const std::string first = *std::min_element(
        drawn_.begin(), drawn_.end(),
        [this](const std::string& a, const std::string& b) { return waits_->until.at(a) < waits_->until.at(b); });
    LOG_NOTICE("Zone " << zone_ << ": every server asked to be left alone; asking " << first << " all the same");
    return first;
}

void mirrors_t::took_list(const std::string& server) {
    std::lock_guard<std::mutex> lock(mutex_);
    chosen_ = server;
}

std::string mirrors_t::list_server() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chosen_;
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
    if (dynamic_cast<const passed_over_t*>(&e))
        LOG_WARNING("Zone " << zone_ << ": " << server << " " << why);
    else
        LOG_WARNING("Zone " << zone_ << ": " << url << ": " << why);
}

bool mirrors_t::is_server_failure(const std::exception& e) {
    if (dynamic_cast<const server_failure_t*>(&e)) return true;
    const tvk::ErrorCode code = exit_code_of(e);
    return code == tvk::EC_BAD_CHECKSUM || code == tvk::EC_BAD_LZMA_FILE || code == tvk::EC_BAD_LST_FILE ||
           code == tvk::EC_BAD_DRL_FILE;
}

std::string mirrors_t::cause(const std::exception& e) {
    if (const auto* failure = dynamic_cast<const server_failure_t*>(&e)) return failure->cause();
    if (dynamic_cast<const bad_signature_t*>(&e)) return "signature check failed";
    switch (exit_code_of(e)) {
        case tvk::EC_BAD_CHECKSUM: return "digest mismatch";
        case tvk::EC_BAD_LZMA_FILE: return "damaged packed file";
        case tvk::EC_BAD_LST_FILE: return "damaged file list";
        case tvk::EC_BAD_DRL_FILE: return "damaged server list";
        default: return error_code_text(exit_code_of(e));
    }
}

}  // namespace upd
