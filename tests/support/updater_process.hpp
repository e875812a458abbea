// tavik-update (or another program) on a socket pair, the test playing the configuration daemon.
#pragma once

#include "configd_update_ipc.pb.h"
#include "tests/support/support.hpp"

#include <csignal>
#include <cstring>
#include <functional>
#include <thread>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace ts {

inline fs::path binary(const std::string& name) { return fs::path(TAVIK_BINARY_DIR) / "bin" / name; }

struct launch_t {
    std::vector<std::string> args;
    const char* monitor = "7";                  // COM_TAVIK_MONITOR, nullptr for none
    int child_fd = 7;                           // where the channel lands in the child
    rlim_t file_size_limit = RLIM_INFINITY;     // a full disk: writes past it fail with EFBIG
    std::vector<std::string> environment = {};  // "NAME=value" for the updater alone
    std::string program = "tavik-update";       // or another of the build's programs, without a channel
};

class updater_t {
public:
    explicit updater_t(const launch_t& launch = {}) {
        int pair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
        channel_ = pair[0];
        std::vector<std::string> args{binary(launch.program).string()};
        args.insert(args.end(), launch.args.begin(), launch.args.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        const int out = ::open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const int err = ::open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if ((pid_ = ::fork()) == 0) {
            const int sock = ::fcntl(pair[1], F_DUPFD, 100);  // out of the way of the target number
            ::dup2(::open("/dev/null", O_RDONLY), 0), ::dup2(out, 1), ::dup2(err, 2);
            if (launch.monitor)
                ::dup2(sock, launch.child_fd), ::setenv("COM_TAVIK_MONITOR", launch.monitor, 1);
            else
                ::unsetenv("COM_TAVIK_MONITOR");
            ::setenv("TAVIK_TEST_SERVER_ORDER", "listed", 0);  // each zone's servers in the order its list names them
            for (std::string e : launch.environment)
                ::setenv(e.substr(0, e.find('=')).c_str(), e.substr(e.find('=') + 1).c_str(), 1);
            const rlimit limit{launch.file_size_limit, launch.file_size_limit};
            ::signal(SIGXFSZ, SIG_IGN), ::setrlimit(RLIMIT_FSIZE, &limit);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(pair[1]), ::close(out), ::close(err);
    }
    updater_t(const updater_t&) = delete;
    ~updater_t() {
        if (!reaped_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        ::close(channel_);
    }

    bool send_raw(const std::string& bytes) {
        return ::send(channel_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    bool send(const tvk::Configd2UpdateMessage& m) { return send_raw(frame(m.SerializePartialAsString())); }
    void close_write() { ::shutdown(channel_, SHUT_WR); }
    void hang_up() { ::shutdown(channel_, SHUT_RDWR); }
    void kill(int signal_number) { ::kill(pid_, signal_number); }
    pid_t pid() const { return pid_; }

    // Appends the whole messages arriving in time; false once the channel is closed.
    bool receive(std::vector<tvk::Update2ConfigdMessage>& out, int timeout_ms) {
        pollfd p{channel_, POLLIN, 0};
        char buffer[65536];
        const ssize_t n = ::poll(&p, 1, timeout_ms) > 0 ? ::recv(channel_, buffer, sizeof buffer, 0) : -1;
        if (n == 0) return false;
        pending_.append(buffer, n > 0 ? n : 0);
        for (std::uint32_t size = 0;
             pending_.size() >= 4 && (std::memcpy(&size, pending_.data(), 4), pending_.size() >= 4 + size);) {
            out.emplace_back();
            if (!out.back().ParseFromArray(pending_.data() + 4, static_cast<int>(size)))
                throw std::runtime_error("unparsable frame");
            pending_.erase(0, 4 + size);
        }
        return true;
    }
    // True once the process handles SIGHUP, SIGINT and SIGTERM itself.
    bool signals_ready() {
        // 64 bits, more than an unsigned long of a 32-bit build.
        const unsigned long long wanted = 1ull << (SIGHUP - 1) | 1ull << (SIGINT - 1) | 1ull << (SIGTERM - 1);
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            const std::string status = slurp("/proc/" + std::to_string(pid_) + "/status");
            const auto at = status.find("SigCgt:");
            if (at != std::string::npos && (std::stoull(status.substr(at + 8), nullptr, 16) & wanted) == wanted)
                return true;
        }
        return false;
    }
    // The exit status; -1 after a signal or when it does not end in time (it is killed then).
    int wait_exit(std::chrono::seconds timeout = std::chrono::seconds(30)) {
        int status = 0;
        for (auto deadline = std::chrono::steady_clock::now() + timeout; ::waitpid(pid_, &status, WNOHANG) != pid_;) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL), ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return slurp(dir_ / "out"); }
    std::string err() const { return slurp(dir_ / "err"); }
    std::vector<std::string> err_lines() const {
        std::vector<std::string> lines;
        std::istringstream in(err());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    scratch_t dir_{"tavik-peer"};
    int channel_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string pending_;
};

inline tvk::Configd2UpdateMessage use_context(const tvk::UpdateConfig& config) {
    tvk::Configd2UpdateMessage m;
    m.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT), *m.mutable_config() = config;
    return m;
}

// Debug lines on standard error, this account, a 10 s time-out; BASE installed and enabled when given.
inline tvk::UpdateConfig base_config(const fs::path& update_dir, const fs::path& drl = {}, const fs::path& bases = {}) {
    tvk::UpdateConfig c;
    c.set_log_level(tvk::LOG_LEVEL_DEBUG), c.mutable_actual_log()->set_type(tvk::Log::STDERR);
    c.mutable_run_as_user()->set_uid(::getuid()), c.set_update_dir(update_dir.string());
    c.set_network_timeout(10000), c.set_installed_applications("e2e");
    if (drl.empty()) return c;
    c.set_base_installed(true), c.set_base_update_enabled(true), c.set_base_drl_path(drl.string()),
        c.set_virus_base_dir(bases.string());
    return c;
}

enum class answer_t { success, refuse, none };

struct daemon_t {  // how the daemon stand-in behaves during one attempt
    answer_t answer = answer_t::success;
    std::function<void(updater_t&, const tvk::Update2ConfigdMessage&)> on_message = {};  // before answering
    std::function<void(updater_t&)> on_tick = {};                                        // at least every 50 ms
    rlim_t file_size_limit = RLIM_INFINITY;
    std::vector<std::string> environment = {};
};

struct attempt_t {  // what an attempt sent and logged, and how it ended
    int status = -1;
    bool requested = false;
    tvk::InstallRequest request;
    std::vector<tvk::Update2ConfigdMessage> messages;
    log_lines_t log;
    std::vector<std::string> placed() const {  // "destination < source"
        std::vector<std::string> out;
        for (const auto& i : request.to_place()) out.push_back(i.destination() + " < " + i.source());
        return out;
    }
};

// Starts tavik-update, hands it the configuration and plays the daemon until it exits.
inline attempt_t run_attempt(const tvk::UpdateConfig& config, const daemon_t& daemon = {}) {
    updater_t peer(launch_t{{}, "7", 7, daemon.file_size_limit, daemon.environment});
    peer.send(use_context(config));
    attempt_t a;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
         std::chrono::steady_clock::now() < deadline;) {
        const std::size_t seen = a.messages.size();
        const bool open = peer.receive(a.messages, 50);
        if (daemon.on_tick) daemon.on_tick(peer);
        for (std::size_t i = seen; i < a.messages.size(); ++i) {
            const tvk::Update2ConfigdMessage m = a.messages[i];
            if (daemon.on_message) daemon.on_message(peer, m);
            if (!m.has_install() || daemon.answer == answer_t::none) continue;
            a.requested = true, a.request = m.install();
            tvk::Configd2UpdateMessage reply;
            reply.set_tag(tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
            if (daemon.answer == answer_t::refuse) reply.mutable_error()->set_code(tvk::EC_PERMISSION_DENIED);
            peer.send(reply);
        }
        if (!open) break;
    }
    a.status = peer.wait_exit();
    a.log.lines = peer.err_lines();
    return a;
}

}  // namespace ts
