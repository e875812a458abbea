// Scaffolding shared by the tests: whole files, directory listings, shell commands, a log sink
// that keeps the lines and observers that ignore what they are told.
#pragma once

#include "control/progress_watcher.hpp"
#include "framework/cf_log.hpp"

#include <boost/filesystem/path.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

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

    std::vector<std::pair<level_t, std::string>> lines;
};

// Drops every log line.
class null_log_t : public cf_log_t {
public:
    void open() override {}
    void write(level_t, const std::string&) override {}
    void write(const std::string&, int, const std::string&) override {}
    void out_of_memory() override {}
};

// Ignores all progress and statistics.
class null_watcher_t : public upd::progress_watcher_t {
public:
    void on_check_progress(const tvk::UpdateCheckProgress&) override {}
    void on_download_progress(const tvk::UpdateDownloadProgress&) override {}
    void on_stat(const tvk::UpdateAppStat&) override {}
};

}  // namespace test_support
