// Test peer of the configuration daemon: starts tavik-update on a socket pair and talks frames.
#include "test_peer.hpp"

#include <boost/filesystem.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace test {

namespace {

void write_all_or_fail(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("send to the updater: ") + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
}

int high_dup(int fd) { return ::fcntl(fd, F_DUPFD, 100); }

}  // namespace

test_peer_t::test_peer_t(const peer_options_t& options) {
    char pattern[] = "/tmp/tavik-app-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0755);  // a dropped account must still reach its work directory

    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) throw std::runtime_error("socketpair");
    ::fcntl(pair[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(pair[1], F_SETFD, FD_CLOEXEC);
    channel_ = pair[0];
    const std::string out_path = dir_ + "/stdout", err_path = dir_ + "/stderr";
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    std::vector<std::string> args{TAVIK_UPDATE_BINARY};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // Move everything out of the way first so no target number is clobbered.
        const int sock = high_dup(pair[1]), o = high_dup(out), e = high_dup(err);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(o, 1);
        ::dup2(e, 2);
        if (options.monitor) {
            ::dup2(sock, options.child_fd);
            ::setenv("COM_TAVIK_MONITOR", options.monitor_value.c_str(), 1);
        } else {
            ::unsetenv("COM_TAVIK_MONITOR");
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pair[1]);
    ::close(out);
    ::close(err);
}

test_peer_t::~test_peer_t() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (channel_ >= 0) ::close(channel_);
    boost::system::error_code ec;
    boost::filesystem::remove_all(dir_, ec);
}

void test_peer_t::send_raw(const std::string& bytes) { write_all_or_fail(channel_, bytes); }

void test_peer_t::send_frame(const std::string& payload) {
    const std::uint32_t n = static_cast<std::uint32_t>(payload.size());
    std::string frame{static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                      static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
    send_raw(frame + payload);
}

void test_peer_t::send(const tvk::Configd2UpdateMessage& message) { send_frame(message.SerializeAsString()); }

void test_peer_t::close_channel() {
    if (channel_ >= 0) ::shutdown(channel_, SHUT_WR);
}

std::vector<tvk::Update2ConfigdMessage> test_peer_t::receive(std::chrono::milliseconds timeout) {
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
        pollfd p{channel_, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(channel_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<tvk::Update2ConfigdMessage> messages;
    std::size_t at = 0;
    while (bytes.size() - at >= 4) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
        const std::size_t n = b[0] | (b[1] << 8) | (b[2] << 16) | (std::size_t(b[3]) << 24);
        if (bytes.size() - at - 4 < n) break;
        tvk::Update2ConfigdMessage message;
        if (!message.ParseFromArray(bytes.data() + at + 4, static_cast<int>(n))) {
            ADD_FAILURE() << "updater sent a frame that does not parse";
        }
        messages.push_back(message);
        at += 4 + n;
    }
    EXPECT_EQ(at, bytes.size()) << "updater sent a partial frame";
    return messages;
}

bool test_peer_t::wait_signals_ready(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const unsigned long wanted = (1ul << (SIGHUP - 1)) | (1ul << (SIGINT - 1)) | (1ul << (SIGTERM - 1));
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string line = proc_status_line(pid_, "SigCgt:");
        if (line.empty()) {
            // No process table to look at: give the program ample time to set up.
            std::this_thread::sleep_for(1s);
            return running();
        }
        const unsigned long caught = std::stoul(line.substr(line.find_first_not_of(" \t", 7)), nullptr, 16);
        if ((caught & wanted) == wanted) return true;
        if (!running()) return false;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

bool test_peer_t::wait_stderr(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (err().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

void test_peer_t::kill(int signal_number) { ::kill(pid_, signal_number); }

bool test_peer_t::running() {
    if (reaped_) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0) return true;
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
}

int test_peer_t::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            reaped_ = true;
            status_ = -1;
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    return status_;
}

std::string test_peer_t::out() const { return read_file(dir_ + "/stdout"); }
std::string test_peer_t::err() const { return read_file(dir_ + "/stderr"); }

std::vector<std::string> test_peer_t::err_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(err());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

tvk::Configd2UpdateMessage use_context(const tvk::UpdateConfig& config) {
    tvk::Configd2UpdateMessage message;
    message.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
    *message.mutable_config() = config;
    return message;
}

tvk::UpdateConfig stderr_config(const std::string& update_dir, tvk::LogLevel level) {
    tvk::UpdateConfig config;
    config.set_log_level(level);
    config.mutable_actual_log()->set_type(tvk::Log::STDERR);
    config.mutable_run_as_user()->set_uid(::getuid());
    config.set_update_dir(update_dir);
    return config;
}

::testing::AssertionResult in_order(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    std::size_t next = 0;
    for (const auto& line : lines) {
        if (next < expected.size() && line == expected[next]) ++next;
    }
    if (next == expected.size()) return ::testing::AssertionSuccess();
    std::string all;
    for (const auto& line : lines) all += "\n  " + line;
    return ::testing::AssertionFailure() << "missing \"" << expected[next] << "\" in order; lines:" << all;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string proc_status_line(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) == 0) return line;
    }
    return "";
}

}  // namespace test
