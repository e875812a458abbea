// Test peer of the configuration daemon: starts tavik-update on a socket pair and talks frames.
#pragma once

#include "configd_update_ipc.pb.h"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace test {

using namespace std::chrono_literals;

struct peer_options_t {
    std::vector<std::string> args;
    bool monitor = true;               // pass the control channel at all
    std::string monitor_value = "7";  // COM_TAVIK_MONITOR as given to the child
    int child_fd = 7;                  // descriptor number of the channel in the child
};

class test_peer_t {
public:
    explicit test_peer_t(const peer_options_t& options = peer_options_t());
    ~test_peer_t();
    test_peer_t(const test_peer_t&) = delete;
    test_peer_t& operator=(const test_peer_t&) = delete;

    // A private directory for the run (work directory, log files); removed afterwards.
    const std::string& dir() const { return dir_; }
    pid_t pid() const { return pid_; }

    void send_raw(const std::string& bytes);
    void send_frame(const std::string& payload);
    void send(const tvk::Configd2UpdateMessage& message);
    // Ends the daemon's side of the stream: the updater reads end of file. Our reading side
    // stays open, so whatever the updater still sends is not answered with a reset.
    void close_channel();
    // Frames the updater sent on the channel within `timeout`.
    std::vector<tvk::Update2ConfigdMessage> receive(std::chrono::milliseconds timeout);

    // Waits until the process handles SIGHUP, SIGINT and SIGTERM itself.
    bool wait_signals_ready(std::chrono::milliseconds timeout = 5s);
    bool wait_stderr(const std::string& text, std::chrono::milliseconds timeout = 5s);
    void kill(int signal_number);
    bool running();
    // The exit status, or -1 on a timeout (the process is then killed) or death by a signal.
    int wait_exit(std::chrono::milliseconds timeout = 10s);

    std::string out() const;
    std::string err() const;
    std::vector<std::string> err_lines() const;

private:
    std::string dir_;
    int channel_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

// The configuration message the daemon would send.
tvk::Configd2UpdateMessage use_context(const tvk::UpdateConfig& config);
// Logs to standard error at `level`, runs as the current user, works in `update_dir`.
tvk::UpdateConfig stderr_config(const std::string& update_dir, tvk::LogLevel level = tvk::LOG_LEVEL_DEBUG);

std::string read_file(const std::string& path);
// True when `expected` occur in `lines` in this order (other lines may come between).
::testing::AssertionResult in_order(const std::vector<std::string>& lines, const std::vector<std::string>& expected);
// A line of /proc/<pid>/status ("Uid:", "Groups:"), empty when not available.
std::string proc_status_line(pid_t pid, const std::string& key);

using test_support::dev_log_t;

}  // namespace test
