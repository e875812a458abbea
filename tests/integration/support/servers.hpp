// The servers of the end-to-end tests on 127.0.0.1, each on free ports in its own folder and
// stopped by PID: nginx (HTTP and HTTPS), squid (Basic or Digest, caching or not), and a fault
// server that misbehaves on purpose; and zones signed by tavik-sign make-zone.
#pragma once

#include "tests/support/support.hpp"
#include "update_config.pb.h"

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace ts {

std::uint16_t free_port();
inline std::string replace_all(std::string text, const std::string& from,
                               const std::string& to) {  // left to right, never within a `to`
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}
// Runs a program to its end and returns its output; std::runtime_error naming the package to
// install when it is missing, or (without exit_status) when it fails.
std::string run(std::vector<std::string> argv, const std::string& package = "", int* exit_status = nullptr);

// A child process (listening on `port`, when given, before the constructor returns), stopped by
// SIGTERM and then SIGKILL when the object goes.
struct child_process_t {
    child_process_t(const std::vector<std::string>& argv, const fs::path& output, std::uint16_t port = 0);
    child_process_t(const child_process_t&) = delete;
    ~child_process_t();
    bool running(int* status = nullptr);
    int pid = -1;
};

class nginx_t {
public:
    struct access_t {  // one line of the access log
        std::uint64_t request_length, bytes_sent;
        int status;
        std::string request, server_name, proxy_authorization, connection, session_reused;
    };
    // `http` adds directives to the http block. Below /chunked/ bodies go chunked, below /unframed/
    // without a length (the connection then closes).
    explicit nginx_t(const std::string& http = "");
    const fs::path& root() const { return root_; }
    std::string http_url(const std::string& path) const;
    std::string https_url(const std::string& path) const;
    // Once the log holds `count` lines (nginx writes them after the response), or after 10 s.
    std::vector<access_t> access_log(std::size_t count = 0) const;

private:
    scratch_t dir_{"tavik-nginx"};
    fs::path root_ = dir_ / "www";
    std::uint16_t http_ = free_port(), https_ = free_port();
    std::unique_ptr<child_process_t> process_;
};

class squid_t {
public:
    enum class auth_t { basic, digest };
    struct access_t {
        int status;
        std::string method, url, user, client_port, result;  // result: how the cache served it (TCP_MISS...)
    };
    // Refuses requests for `refused_port` (403), as a proxy's rules may refuse a server. Digest nonces count
    // their requests and go stale after 3. A cache keeps answers in memory by docs/lan-cache.md's refresh patterns.
    squid_t(auth_t auth, const std::string& user, const std::string& password, std::uint16_t refused_port = 0,
            bool cache = false);
    tvk::Proxy proxy(const std::string& user, const std::string& password) const;
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
        redirect,
        never_answer,
        endless_body,
        byte_by_byte,
        close_in_head,
        reset_in_head,  // part of a status line, then a close or a reset
        close_mid_body,
        stall_mid_body,  // the length announced, half the body, then a close or silence
        challenge_basic,
        challenge_digest,
        challenge_auth_int,  // 407 with that challenge
        tunnel_refused,      // 403 with a page
        huge_head,           // a status line, then 100 header lines of 1 MiB
        late,                // the answer after 1 ms per KiB of the body
        crawl,               // the length announced, then the body at 50 bytes a second
        throttle,            // 429 with Retry-After: 3600
        unannounced_close,   // the answer without "Connection: close", then the close all the same
        http_1_0,            // the answer as HTTP/1.0, without keep-alive
        padded_chunks,       // the body chunked a byte a chunk, each with 200 bytes of extension, again and again
        padded_crawl,        // the same at 50 bytes of data a second
        close_in_head_once,
        cut_once,   // close_in_head, close_mid_body for the first faulty request only
        republish,  // ROOT.next takes ROOT's place before the first answer to a file that meets the fault
    };
    // Connection i meets script[i], later ones the last entry; the body is served for any path.
    explicit fault_server_t(std::vector<fault_t> script, std::string body = "fault server body\n");
    // Serves the files below root (a range of them when asked); only those whose names begin with
    // `prefix` meet the fault, which set_fault changes for later connections.
    fault_server_t(fs::path root, fault_t fault, std::string prefix);
    void set_fault(fault_t fault) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = {fault};
    }
    fault_server_t(const fault_server_t&) = delete;
    ~fault_server_t();

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + path; }
    std::vector<std::string> requests() const;              // every request head, in arrival order
    std::string paths() const;                              // the paths asked for, sorted, each followed by a blank
    std::size_t body_bytes() const { return body_bytes_; }  // sent in whole answers of the files served
    std::size_t connections() const { return connections_; }
    std::size_t faults() const { return faults_; }  // faulty answers whose scripted part has gone out
    std::size_t most_at_once() const {              // requests awaiting their answers at once
        std::lock_guard<std::mutex> lock(mutex_);
        return most_at_once_;
    }

private:
    void start();
    void session(int fd, fault_t fault);

    std::vector<fault_t> script_;
    std::string body_, prefix_;
    fs::path root_;
    int listener_ = -1, stop_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<std::size_t> connections_{0}, faults_{0}, body_bytes_{0};
    std::atomic<bool> once_{false};
    std::atomic<std::size_t> open_now_{0};
    std::size_t most_at_once_ = 0;  // under mutex_
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<int> open_;
    std::thread acceptor_;
    std::vector<std::thread> threads_;  // sessions, under mutex_ until the acceptor has ended
};

struct zone_t {  // what a vendor publishes
    std::map<std::string, std::string> files;
    std::vector<std::string> urls, fallbacks, patterns, options;
};
// `anew`: OUT is removed first; otherwise make-zone publishes over what it published there before.
void make_zone(const zone_t& zone, const fs::path& out, bool anew = true);
// Every regular file below a folder (or the one file) with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& root);
// tavik-run on the configuration: the real installation of what tavik-update fetched.
int run_installer(const tvk::UpdateConfig& config, std::string& output);

}  // namespace ts
