// A zone's servers: which to ask next for one request, and what a server's failure costs.
#pragma once

#include "files/servers_file.hpp"
#include "net/server_failure.hpp"

#include <boost/optional.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace upd {

// A server whose answer is sound but not taken (an older list than the one installed): its
// Warning names the server and the cause, and it never counts as a status of its own.
class passed_over_t : public server_failure_t {
public:
    explicit passed_over_t(const std::string& cause);
};

// The servers of one zone in this run's order, and what each did (failed the list or a file, asked
// to be left alone). Every request of a zone (its list, each file, each patch), and the fallback's
// for its zone.ini servers, goes round them here: one bad mirror never holds an update back. The
// lanes of a run ask it from their threads.
class mirrors_t {
public:
    // Until when servers are to be left alone, shared by the zones of a run and kept across runs
    // in update_dir/tavik-update.servers.
    struct waits_t {
        std::mutex mutex;
        servers_file_t::waits_t until;
        bool changed = false;
    };

    // Asks one server (a base URL) for the request; `asked` is to hold the URL under way, which a
    // Warning names. Returns when the server served; throws its failure otherwise.
    using ask_t = std::function<void(const std::string& server, std::string& asked)>;

    // The failures of one request's round over the servers.
    struct round_t {
        std::exception_ptr only;  // the failure, while there is just one
        std::size_t failures = 0, refusals_407 = 0;
        // When no server served: one server failed, its own failure; several, EC_NO_UPDATE_SERVERS,
        // or EC_PROXY_AUTH_ERROR when each refused the proxy's credentials (then every server would).
        [[noreturn]] void fail() const;
    };

    // `drawn`: the servers in this run's order. `proxied`: a proxy is configured, whose own 503
    // cannot be told from a plain HTTP server's.
    mirrors_t(std::string zone, std::vector<std::string> drawn, std::shared_ptr<waits_t> waits, bool proxied);

    // Asks the servers in turn until one serves: true then, false when none is left. The order:
    // the server whose list the zone took, then the others as drawn; one that failed anything only
    // when no other is left; one that asked to be left alone, never (for the list, when all have,
    // the one whose wait ends first). A server's failure (is_server_failure) is a Warning and the
    // next is asked; anything else ends the round at once.
    bool ask_in_turn(const ask_t& ask, round_t& round);
    // The same, throwing round_t::fail() when none served.
    void ask(const ask_t& ask);

    // The server whose list the zone took: the first to be asked for its files.
    void took_list(const std::string& server);
    std::string list_server() const;
    std::size_t size() const { return drawn_.size(); }

    // Whether another server may do better: a failure of the server (network, status, a cut, a
    // damaged or forged file), not of this machine (disk, memory) or of a proxy's credentials.
    static bool is_server_failure(const std::exception& e);
    // The cause in fixed words: never text the server chose.
    static std::string cause(const std::exception& e);

private:
    boost::optional<std::string> next(const std::set<std::string>& tried) const;
    bool waiting(const std::string& server, long long now) const;  // under waits_->mutex
    // Gives a server up for the failure `e` of the request for `url`: a Warning in fixed words, and
    // it is asked last from now on; after a 429 or 503 not at all in this run, nor in later runs
    // before its Retry-After.
    void failed(const std::string& server, const std::string& url, const std::exception& e);

    std::string zone_;
    std::vector<std::string> drawn_;
    std::shared_ptr<waits_t> waits_;
    bool proxied_;
    mutable std::mutex mutex_;  // guards the rest
    std::string chosen_;
    std::set<std::string> failed_;
    std::set<std::string> busy_;  // answered 429 or 503 in this run
};

}  // namespace upd
