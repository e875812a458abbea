// Which server of a zone to ask next, and why.
#pragma once

#include "files/servers_file.hpp"

#include <boost/optional.hpp>

#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace upd {

// The servers of one zone in the order drawn for this run, and what each did: which failed the
// list or a file, which asked to be left alone (429 or 503; with Retry-After also in later runs).
// One bad mirror never holds an update back: every failure moves on to the next server, every file
// is verified against the signed list whoever served it, and each failure is a Warning naming the
// URL asked and the cause in fixed words. The lanes of a run ask it from their threads.
class mirrors_t {
public:
    // Until when servers are to be left alone, shared by the zones of a run and kept across runs
    // in update_dir/tavik-update.servers.
    struct waits_t {
        std::mutex mutex;
        servers_file_t::waits_t until;
        bool changed = false;
    };

    // `proxied`: a proxy is configured, whose own 503 cannot be told from a plain HTTP server's.
    mirrors_t(std::string zone, std::vector<std::string> drawn, std::shared_ptr<waits_t> waits, bool proxied);

    // The servers to ask for the file list, in their order; those asked to be left alone are not
    // among them, unless all are: then the one whose wait ends first.
    std::vector<std::string> for_list() const;
    // The server whose list the zone took: the first to be asked for its files.
    void took_list(const std::string& server);
    std::string list_server() const;
    // The server to ask for a file that the `tried` servers failed: the zone's server, then the
    // others in their order. One that failed anything is asked only when no other is left; one
    // that asked to be left alone, never. None when no server is left.
    boost::optional<std::string> for_file(const std::set<std::string>& tried) const;

    // Gives a server up for the failure `e` of the request for `url`: a Warning, and it is asked
    // last from now on. A 429 or 503 keeps it out of this run, and with Retry-After out of later
    // runs until then.
    void failed(const std::string& server, const std::string& url, const std::exception& e);
    // The same without a Warning, for a server whose list was refused with a Warning of its own.
    void passed_over(const std::string& server);

    // Whether another server may do better: a failure of the server (network, status, a cut, a
    // damaged or forged file), not of this machine (disk, memory) or of a proxy's credentials.
    static bool is_server_failure(const std::exception& e);
    // The cause in fixed words: never text the server chose.
    static std::string cause(const std::exception& e);

private:
    bool waiting(const std::string& server, long long now) const;  // under waits_->mutex

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
