// The end-to-end tests' servers on 127.0.0.1, each in its own folder: nginx, squid, a fault server; and
// zones signed by tavik-sign make-zone.
#pragma once

#include "tests/support/support.hpp"
#include "update_config.pb.h"

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace ts {

std::uint16_t free_port();
inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}
// A program's output; throws naming the package to install when it is missing, or (without
// exit_status) when it fails.
std::string run(std::vector<std::string> argv, const std::string& package = "", int* exit_status = nullptr);

// Listening on `port` (when given) once constructed; SIGTERM, then SIGKILL, when it goes.
struct child_process_t {
    child_process_t(const std::vector<std::string>& argv, const fs::path& output, std::uint16_t port = 0);
    child_process_t(const child_process_t&) = delete;
    ~child_process_t();
    bool running(int* status = nullptr);
    int pid = -1;
};

class nginx_t {
public:
    struct access_t {
        std::uint64_t request_length, bytes_sent;
        int status;
        std::string request, server_name, proxy_authorization, connection, session_reused;
    };
    // `http`: directives for the http block. Bodies below /chunked/ go chunked, below /unframed/ unframed.
    explicit nginx_t(const std::string& http = "", bool http2 = false);  // http2: HTTPS offers h2
    const fs::path& root() const { return root_; }
    std::string http_url(const std::string& path) const;
    std::string https_url(const std::string& path) const;
    // Once it holds `count` lines (written after the response), or after 10 s.
    std::vector<access_t> access_log(std::size_t count = 0) const;

private:
    scratch_t dir_{"tavik-nginx"};
    fs::path root_ = dir_ / "www";
    std::uint16_t http_ = free_port(), https_ = free_port();
    std::unique_ptr<child_process_t> process_;
};

// tests/integration/support/h2_fault_server.py (on python3-h2): the files below `root` over TLS with
// h2, and the answers for those whose names begin with `prefix` broken as `fault` says.
class h2_fault_server_t {
public:
    h2_fault_server_t(const fs::path& root, const std::string& fault, const std::string& prefix);
    std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + "/" + path; }

private:
    scratch_t dir_{"tavik-h2"};
    std::uint16_t port_ = free_port();
    std::unique_ptr<child_process_t> process_;
};

// User "u", password "s3cret"; no cache; 403 for `refused_port`; a Digest nonce stale after 3 requests.
class squid_t {
public:
    enum class auth_t { basic, digest };
    struct access_t {
        int status;
        std::string method, user, client_port;
    };
    explicit squid_t(auth_t auth, std::uint16_t refused_port = 0);
    tvk::Proxy proxy() const;
    std::vector<access_t> access_log(std::size_t count = 0) const;

private:
    scratch_t dir_{"tavik-squid"};
    std::uint16_t port_ = free_port();
    std::unique_ptr<child_process_t> process_;
};

class fault_server_t {
public:
    enum class fault_t {
        none,
        server_error,
        never_answer,
        endless_body,
        close_in_head,  // part of a status line, then a close
        close_mid_body,
        stall_mid_body,  // the length announced, half the body, then a close or silence
        challenge_basic,
        challenge_digest,    // 407 with that challenge
        tunnel_refused,      // 403 with a page
        crawl,               // the body at 50 bytes a second
        throttle,            // 429 with Retry-After: 3600
        unannounced_close,   // the answer without "Connection: close", then the close all the same
        http_1_0,            // without keep-alive
        close_in_head_once,  // for the first faulty request only
        republish,           // ROOT.next takes ROOT's place before the first answer to a file that meets the fault
    };
    // Connection i meets script[i] (later ones the last); the body is served for any path.
    explicit fault_server_t(std::vector<fault_t> script, std::string body = "fault server body\n");
    // The files below root (ranges too); those whose names begin with `prefix` meet the fault.
    fault_server_t(fs::path root, fault_t fault, std::string prefix);
    void set_fault(fault_t fault) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = {fault};
    }
    fault_server_t(const fault_server_t&) = delete;
    ~fault_server_t();

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + path; }
    std::vector<std::string> requests() const;  // the request heads in arrival order
    std::string paths() const;                  // the paths asked for, sorted, each followed by a blank
    std::size_t connections() const { return connections_; }
    std::size_t faults() const { return faults_; }  // faulty answers begun

private:
    void start();
    void session(int fd, fault_t fault);

    std::vector<fault_t> script_;
    std::string body_, prefix_;
    fs::path root_;
    int listener_ = -1, stop_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<std::size_t> connections_{0}, faults_{0};
    std::atomic<bool> once_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<int> open_;
    std::thread acceptor_;
    std::vector<std::thread> threads_;  // under mutex_ until the acceptor has ended
};

struct zone_t {  // what a vendor publishes
    std::map<std::string, std::string> files;
    std::vector<std::string> urls, fallbacks, patterns, options;
};
void make_zone(const zone_t& zone, const fs::path& out);  // OUT anew
// Every regular file below a folder (or the one file) with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& root);
// Installs a published zone as a machine has it: its server list as `drl`, its zone.ini in `bases`.
inline void install_zone(const fs::path& zone, const fs::path& drl, const fs::path& bases) {
    spit(drl, slurp(zone / "update.drl")), spit(bases / "zone.ini", slurp(zone / "zone.ini"));
}
// tavik-run on the configuration.
int run_installer(const tvk::UpdateConfig& config, std::string& output);

}  // namespace ts
