// Rig for end-to-end update runs: signed zones on nginx, an installation, tavik-update driven
// through the control channel by a test peer, and tavik-run as the installing daemon.
#pragma once

#include "support/servers.hpp"

#include "configd_update_ipc.pb.h"
#include "upd_cache.pb.h"

#include <google/protobuf/text_format.h>

#include <boost/filesystem.hpp>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
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
inline void make_zone(const fs::path& scratch, const zone_spec_t& layout, const fs::path& out) {
    const fs::path content = scratch / fs::unique_path("content-%%%%%%");
    fs::create_directories(content);
    for (const auto& f : layout.files) tvk_test::write_file(content / f.first, f.second);
    std::vector<std::string> argv{binary("tavik-sign").string(), "make-zone", "--key", development_key(),
                                  "--files", content.string(), "--out", out.string()};
    for (const auto& u : layout.urls) argv.insert(argv.end(), {"--url", u});
    for (const auto& u : layout.fallbacks) argv.insert(argv.end(), {"--fallback", u});
    for (const auto& p : layout.patterns) argv.insert(argv.end(), {"--pattern", p});
    argv.insert(argv.end(), layout.extra.begin(), layout.extra.end());
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


// tavik-update started on a socket pair with COM_TAVIK_MONITOR, its stderr kept in a file.
class update_process_t {
public:
    // `file_size_limit` bounds every file the updater writes (RLIMIT_FSIZE, SIGXFSZ ignored so that
    // a write past it fails with EFBIG): a disk that fills up, without privileges or mounts.
    explicit update_process_t(const fs::path& err_path, rlim_t file_size_limit = RLIM_INFINITY)
        : err_path_(err_path) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) throw std::runtime_error("socketpair");
        ::fcntl(pair[0], F_SETFD, FD_CLOEXEC);
        channel_ = pair[0];
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const std::string program = binary("tavik-update").string();
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(err, 1);
            ::dup2(err, 2);
            ::dup2(pair[1], 7);
            ::setenv("COM_TAVIK_MONITOR", "7", 1);
            if (file_size_limit != RLIM_INFINITY) {
                ::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{file_size_limit, file_size_limit};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
            }
            ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pair[1]);
        ::close(err);
    }
    update_process_t(const update_process_t&) = delete;
    update_process_t& operator=(const update_process_t&) = delete;
    ~update_process_t() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(channel_);
    }

    void send(const tvk::Configd2UpdateMessage& message) {
        const std::string payload = message.SerializeAsString();
        const std::uint32_t n = static_cast<std::uint32_t>(payload.size());
        std::string frame{static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                          static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
        frame += payload;
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t w = ::send(channel_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;  // the updater is gone; its exit status tells why
            done += static_cast<std::size_t>(w);
        }
    }

    // Appends what arrives within `timeout` to `pending`; false once the updater closed the channel.
    bool read_some(std::string& pending, int timeout_ms) {
        pollfd p{channel_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return true;
        char buffer[65536];
        const ssize_t n = ::recv(channel_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    void kill(int signal_number) { ::kill(pid_, signal_number); }

    // Raw bytes on the channel, frames of any shape included.
    void send_raw(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t w = ::send(channel_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            done += static_cast<std::size_t>(w);
        }
    }

    // The daemon hangs up: both directions end, the descriptor stays ours until destruction.
    void hang_up() { ::shutdown(channel_, SHUT_RDWR); }

    // The exit status, or -1 when it did not end in time (then it is killed) or died by a signal.
    int wait_exit(std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        for (;;) {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                reaped_ = true;
                return -1;
            }
            ::usleep(10000);
        }
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> err_lines() const {
        std::vector<std::string> lines;
        std::string text = tvk_test::read_file(err_path_), line;
        for (char c : text) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty()) lines.push_back(line);
        return lines;
    }

private:
    fs::path err_path_;
    int channel_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

enum class answer_t { success, refuse, none };

using on_message_t = std::function<void(update_process_t&, const tvk::Update2ConfigdMessage&)>;

// How the daemon stand-in behaves during one attempt.
struct run_options_t {
    answer_t answer = answer_t::success;
    tvk::ErrorCode refusal = tvk::EC_PERMISSION_DENIED;
    on_message_t on_message;                         // every message, before it is answered
    std::function<void(update_process_t&)> on_tick;  // at least every 100 ms while the channel is open
    rlim_t file_size_limit = RLIM_INFINITY;          // see update_process_t
};

inline attempt_t run_attempt(const tvk::UpdateConfig& config, const run_options_t& options);

// Starts tavik-update, hands it the configuration and plays the daemon until it exits.
inline attempt_t run_attempt(const tvk::UpdateConfig& config, answer_t answer = answer_t::success,
                             tvk::ErrorCode refusal = tvk::EC_PERMISSION_DENIED, on_message_t on_message = {}) {
    run_options_t options;
    options.answer = answer;
    options.refusal = refusal;
    options.on_message = std::move(on_message);
    return run_attempt(config, options);
}

inline attempt_t run_attempt(const tvk::UpdateConfig& config, const run_options_t& options) {
    const answer_t answer = options.answer;
    const tvk::ErrorCode refusal = options.refusal;
    const on_message_t& on_message = options.on_message;
    attempt_t result;
    const fs::path err = fs::temp_directory_path() / fs::unique_path("tavik-e2e-%%%%%%%%.err");
    update_process_t peer(err, options.file_size_limit);
    tvk::Configd2UpdateMessage context;
    context.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
    *context.mutable_config() = config;
    peer.send(context);
    std::string pending;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool channel_open = true;
    while (channel_open && std::chrono::steady_clock::now() < deadline) {
        channel_open = peer.read_some(pending, 100);
        if (options.on_tick) options.on_tick(peer);
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
    }
    result.status = peer.wait_exit(std::chrono::seconds(30));
    result.log = peer.err_lines();
    boost::system::error_code ignored;
    fs::remove(err, ignored);
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
    tvk::UpdateConfig config;
    config.set_log_level(tvk::LOG_LEVEL_DEBUG);
    config.mutable_actual_log()->set_type(tvk::Log::STDERR);
    config.mutable_run_as_user()->set_uid(::getuid());
    config.set_update_dir(update_dir.string());
    config.set_network_timeout(10000);
    config.set_installed_applications("e2e");
    return config;
}

}  // namespace rig
