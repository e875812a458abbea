// Scaffolding shared by the tests: whole files, directory listings, shell commands, a scratch
// directory fixture, log sinks that keep the lines, a stand-in for the system logger and observers
// that ignore what they are told.
#pragma once

#include "control/progress_watcher.hpp"
#include "framework/cf_log.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {

// The whole content; empty when the file cannot be read.
inline std::string read_file(const boost::filesystem::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Creates or truncates the file and writes every byte of content.
inline void write_file(const boost::filesystem::path& path, const std::string& content) {
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// lstat(2), so a dangling symbolic link counts as present.
inline bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The entries of a directory, sorted, without "." and "..".
inline std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Single-quoted for the shell; the tests' paths hold no quote of their own.
inline std::string quote(const std::string& s) { return "'" + s + "'"; }

struct command_result_t {
    int status;       // the exit status, or -1 when the command did not run or did not exit
    std::string out;  // standard output and standard error together
};

inline command_result_t shell(const std::string& command) {
    command_result_t r{-1, ""};
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Keeps every log line with its level; lines written with a facility count as Debug.
class capture_log_t : public cf_log_t {
public:
    void open() override {}
    void write(level_t level, const std::string& message) override { lines.emplace_back(level, message); }
    void write(const std::string&, int, const std::string& message) override {
        lines.emplace_back(debug, message);
    }
    void out_of_memory() override {}

    // Installs a fresh sink at Debug level; the caller calls reset_log_for_tests() afterwards.
    static std::shared_ptr<capture_log_t> install() {
        auto sink = std::make_shared<capture_log_t>();
        set_log(sink);
        cf_log_t::level_ = debug;
        return sink;
    }

    bool contains(level_t level, const std::string& text) const {
        return std::any_of(lines.begin(), lines.end(), [&](const std::pair<level_t, std::string>& line) {
            return line.first == level && line.second == text;
        });
    }
    bool contains_prefix(level_t level, const std::string& prefix) const {
        return std::any_of(lines.begin(), lines.end(), [&](const std::pair<level_t, std::string>& line) {
            return line.first == level && line.second.compare(0, prefix.size(), prefix) == 0;
        });
    }

    std::vector<std::pair<level_t, std::string>> lines;
};

// Keeps every log line as text: the level's name, the separator and the message; lines written
// with a facility are kept bare.
class text_log_t : public cf_log_t {
public:
    explicit text_log_t(std::string separator = ": ") : separator_(std::move(separator)) {}
    void open() override {}
    void write(level_t level, const std::string& message) override {
        lines.push_back(std::string(level_text(level)) + separator_ + message);
    }
    void write(const std::string&, int, const std::string& message) override { lines.push_back(message); }
    void out_of_memory() override {}

    std::vector<std::string> lines;

private:
    std::string separator_;
};

// Drops every log line.
class null_log_t : public cf_log_t {
public:
    void open() override {}
    void write(level_t, const std::string&) override {}
    void write(const std::string&, int, const std::string&) override {}
    void out_of_memory() override {}
};

// The lowest descriptor number free now: it grows when something leaves a descriptor open.
inline int lowest_free_fd() {
    const int fd = ::open("/dev/null", O_RDONLY);
    ::close(fd);
    return fd;
}

// A fresh directory for each test, removed afterwards, and a check that the test left no
// descriptor open.
class scratch_dir_test : public ::testing::Test {
protected:
    explicit scratch_dir_test(std::string prefix) : prefix_(std::move(prefix)) {}
    void SetUp() override {
        dir_ = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path(prefix_ + "-%%%%-%%%%");
        boost::filesystem::create_directories(dir_);
        fd_before_ = lowest_free_fd();
    }
    void TearDown() override {
        EXPECT_EQ(fd_before_, lowest_free_fd()) << "a descriptor was left open";
        boost::filesystem::remove_all(dir_);
    }
    // Writes a file in the directory and returns its path.
    boost::filesystem::path write(const std::string& name, const std::string& data) {
        const boost::filesystem::path p = dir_ / name;
        write_file(p, data);
        return p;
    }

    boost::filesystem::path dir_;
    int fd_before_ = -1;

private:
    std::string prefix_;
};

// Owns /dev/log while alive when nothing else does (root and no system logger bound there).
class dev_log_t {
public:
    dev_log_t() = default;
    dev_log_t(const dev_log_t&) = delete;
    dev_log_t& operator=(const dev_log_t&) = delete;
    ~dev_log_t() {
        if (bound_) ::unlink("/dev/log");
        if (fd_ >= 0) ::close(fd_);
    }

    // False, with the reason in why, when /dev/log cannot be taken.
    bool take(std::string& why) {
        if (::geteuid() != 0) {
            why = "binding /dev/log needs root";
            return false;
        }
        struct stat st {};
        if (::lstat("/dev/log", &st) == 0) {
            why = "/dev/log exists; a system logger may own it";
            return false;
        }
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, "/dev/log");
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            why = std::string("cannot bind /dev/log: ") + std::strerror(errno);
            return false;
        }
        bound_ = true;
        return true;
    }

    // The next datagram that carries " ident[": other programs' messages are skipped.
    std::string next_from(const std::string& ident,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) continue;
            std::string datagram(buffer, static_cast<std::size_t>(n));
            if (datagram.find(" " + ident + "[") != std::string::npos) return datagram;
        }
        return "";
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

// Ignores all progress and statistics.
class null_watcher_t : public upd::progress_watcher_t {
public:
    void on_check_progress(const tvk::UpdateCheckProgress&) override {}
    void on_download_progress(const tvk::UpdateDownloadProgress&) override {}
    void on_stat(const tvk::UpdateAppStat&) override {}
};

}  // namespace test_support
