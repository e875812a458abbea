// Rig for end-to-end update runs: signed zones on nginx, an installation, tavik-update driven
// through the control channel by a test peer, and tavik-run as the installing daemon.
#pragma once

#include "support/servers.hpp"
#include "test_peer.hpp"

#include "upd_cache.pb.h"

#include <google/protobuf/text_format.h>

#include <boost/filesystem.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace rig {

namespace fs = boost::filesystem;

inline fs::path binary(const std::string& name) { return fs::path(TAVIK_BINARY_DIR) / "bin" / name; }
inline std::string development_key() { return std::string(TAVIK_SOURCE_DIR) + "/keys/development.key"; }

inline void write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    tvk_test::write_file(path, content);
}

struct zone_spec_t {
    std::map<std::string, std::string> files;  // what the vendor publishes
    std::vector<std::string> urls;             // servers named by the zone's update.drl
    std::vector<std::string> fallbacks;        // servers named by its zone.ini
    std::vector<std::string> patterns;         // name patterns of its file list
    std::vector<std::string> extra;            // further make-zone options
};

// Builds a signed server tree for one zone with tavik-sign make-zone.
inline void make_zone(const fs::path& scratch, const zone_spec_t& spec, const fs::path& out) {
    const fs::path content = scratch / fs::unique_path("content-%%%%%%");
    fs::create_directories(content);
    for (const auto& f : spec.files) tvk_test::write_file(content / f.first, f.second);
    std::vector<std::string> argv{binary("tavik-sign").string(), "make-zone", "--key", development_key(),
                                  "--files", content.string(), "--out", out.string()};
    for (const auto& u : spec.urls) argv.insert(argv.end(), {"--url", u});
    for (const auto& u : spec.fallbacks) argv.insert(argv.end(), {"--fallback", u});
    for (const auto& p : spec.patterns) argv.insert(argv.end(), {"--pattern", p});
    argv.insert(argv.end(), spec.extra.begin(), spec.extra.end());
    tvk_test::run_command(argv, scratch / "make-zone.log");
}

// Returns once the clock has moved into a later second than at the call.
inline void wait_next_second() {
    const std::time_t start = std::time(nullptr);
    while (std::time(nullptr) <= start) ::usleep(20000);
}

// What one attempt showed on the control channel, and how it ended.
struct attempt_t {
    int status = -1;
    bool requested = false;
    tvk::InstallRequest request;
    std::vector<tvk::UpdateCheckProgress> checks;
    std::vector<tvk::UpdateDownloadProgress> downloads;
    std::vector<std::string> log;

    bool logged(const std::string& line) const {
        for (const auto& l : log) if (l == line) return true;
        return false;
    }
    bool logged_prefix(const std::string& prefix) const {
        for (const auto& l : log) if (l.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    std::string log_text() const {
        std::string text;
        for (const auto& l : log) text += l + "\n";
        return text;
    }
    std::vector<std::string> placed_sources() const {
        std::vector<std::string> out;
        for (const auto& i : request.to_place()) out.push_back(i.source());
        return out;
    }
    std::vector<std::string> placed_destinations() const {
        std::vector<std::string> out;
        for (const auto& i : request.to_place()) out.push_back(i.destination());
        return out;
    }
    std::set<std::string> removed() const { return {request.to_remove().begin(), request.to_remove().end()}; }
    std::set<std::string> up_to_date() const { return {request.up_to_date().begin(), request.up_to_date().end()}; }
};

enum class answer_t { success, refuse, none };

using on_message_t = std::function<void(test::test_peer_t&, const tvk::Update2ConfigdMessage&)>;

// Starts tavik-update, hands it the configuration and plays the daemon until it exits.
inline attempt_t run_attempt(const tvk::UpdateConfig& config, answer_t answer = answer_t::success,
                             tvk::ErrorCode refusal = tvk::EC_PERMISSION_DENIED, on_message_t on_message = {}) {
    attempt_t result;
    test::test_peer_t peer;
    peer.send(test::use_context(config));
    std::string pending;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool channel_open = true;
    while (channel_open && std::chrono::steady_clock::now() < deadline) {
        const std::string bytes = peer.receive(std::chrono::milliseconds(100));
        pending += bytes;
        while (pending.size() >= 4) {
            std::uint32_t n = 0;
            for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(pending[i]);
            if (pending.size() < 4 + n) break;
            tvk::Update2ConfigdMessage message;
            if (!message.ParseFromArray(pending.data() + 4, static_cast<int>(n))) {
                throw std::runtime_error("unparsable frame from tavik-update");
            }
            pending.erase(0, 4 + n);
            if (message.has_check()) result.checks.push_back(message.check());
            if (message.has_download()) result.downloads.push_back(message.download());
            if (on_message) on_message(peer, message);
            if (message.tag() == tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST) {
                result.requested = true;
                result.request = message.install();
                tvk::Configd2UpdateMessage reply;
                reply.set_tag(tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
                if (answer == answer_t::refuse) reply.mutable_error()->set_code(refusal);
                if (answer != answer_t::none) peer.send(reply);
            }
        }
        if (bytes.empty() && !peer.running()) channel_open = false;
    }
    result.status = peer.wait_exit(std::chrono::seconds(30));
    result.log = peer.err_lines();
    return result;
}

// Runs tavik-run on the configuration: the real installation of what tavik-update fetched.
inline int run_installer(const fs::path& scratch, const tvk::UpdateConfig& config, std::string* output = nullptr) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(config, &text);
    const fs::path conf = scratch / fs::unique_path("run-%%%%%%.conf");
    tvk_test::write_file(conf, text);
    const fs::path log = scratch / fs::unique_path("run-%%%%%%.log");
    const std::string command = "'" + binary("tavik-run").string() + "' '" + conf.string() + "' >'" + log.string() +
                                "' 2>&1 </dev/null";
    const int status = std::system(command.c_str());
    if (output) *output = tvk_test::read_file(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The hash cache parses and every record names an existing file whose size still fits.
inline bool cache_is_valid(const fs::path& update_dir, std::size_t* records = nullptr) {
    const std::string bytes = tvk_test::read_file(update_dir / "tavik-update.cache");
    upd::Cache cache;
    if (!cache.ParseFromString(bytes)) return false;
    for (const auto& crc : cache.crcs()) {
        if (!fs::exists(crc.path()) || crc.sha256().size() != 32 || crc.md5().size() != 16) return false;
    }
    if (records) *records = static_cast<std::size_t>(cache.crcs_size());
    return true;
}

inline tvk::UpdateConfig base_config(const fs::path& update_dir) {
    tvk::UpdateConfig config = test::stderr_config(update_dir.string(), tvk::LOG_LEVEL_DEBUG);
    config.set_network_timeout(10000);
    config.set_installed_applications("e2e");
    return config;
}

}  // namespace rig
