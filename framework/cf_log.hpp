// The process-wide log: one sink at a time, buffering until the first sink, stderr at exit.
#pragma once

#include "log.pb.h"

#include <boost/thread/mutex.hpp>

#include <memory>
#include <sstream>
#include <string>
#include <syslog.h>

// The syslog priorities, kept under names of their own: the LOG_* names below are our macros.
namespace cf_syslog {
enum : int { debug = LOG_DEBUG, info = LOG_INFO, notice = LOG_NOTICE, warning = LOG_WARNING, error = LOG_ERR };
}
#undef LOG_DEBUG
#undef LOG_INFO
#undef LOG_NOTICE
#undef LOG_WARNING

class cf_log_t {
public:
    enum level_t { debug = 0, info = 1, notice = 2, warning = 3, error = 4 };

    virtual ~cf_log_t() = default;
    virtual void open() = 0;
    virtual void write(level_t level, const std::string& message) = 0;
    virtual void write(const std::string& file, int line, const std::string& message) = 0;
    virtual void out_of_memory() = 0;

    // The single entry for a line; callers test `level_` first (see CF_LOG). Control characters
    // are written as \xNN and a message is cut at 4 KiB: one record is one line.
    static void log(level_t level, const std::string& message);

    static const char* level_text(int level);
    static int syslog_priority(int level);
    // tvk::LogLevel (1..5) to level_t; anything else is Error.
    static level_t from_config(int log_level);

    static int level_;
    static boost::mutex mutex_;
};

// Builds the text only when the threshold admits the level.
#define CF_LOG(level, expr)                                \
    do {                                                   \
        if (cf_log_t::level_ <= static_cast<int>(level)) { \
            std::ostringstream cf_log_stream_;             \
            cf_log_stream_ << expr;                        \
            cf_log_t::log((level), cf_log_stream_.str());  \
        }                                                  \
    } while (0)

#define LOG_DEBUG(expr) CF_LOG(cf_log_t::debug, expr)
#define LOG_INFO(expr) CF_LOG(cf_log_t::info, expr)
#define LOG_NOTICE(expr) CF_LOG(cf_log_t::notice, expr)
#define LOG_WARNING(expr) CF_LOG(cf_log_t::warning, expr)
#define LOG_ERROR(expr) CF_LOG(cf_log_t::error, expr)

class cf_syslog_log_t : public cf_log_t {
public:
    cf_syslog_log_t(const char* ident, int facility);
    ~cf_syslog_log_t() override;
    void open() override;
    void write(level_t level, const std::string& message) override;
    void write(const std::string& file, int line, const std::string& message) override;
    void out_of_memory() override;

private:
    int facility_;
    char* ident_;
};

class cf_file_log_t : public cf_log_t {
public:
    cf_file_log_t(int fd, bool owns_fd);
    ~cf_file_log_t() override;
    void open() override {}
    void write(level_t level, const std::string& message) override;
    void write(const std::string& file, int line, const std::string& message) override;
    void out_of_memory() override;

    // "2018-Jul-20 14:28:05": local time, one-second resolution.
    static std::string timestamp();

private:
    int fd_;
    bool owns_fd_;
    int pid_;
};

class cf_console_log_t : public cf_log_t {
public:
    void open() override {}
    void write(level_t level, const std::string& message) override;
    void write(const std::string& file, int line, const std::string& message) override;
    void out_of_memory() override;
};

std::shared_ptr<cf_log_t> make_log(const tvk::Log& log);
void set_log(std::shared_ptr<cf_log_t> sink);
bool has_log();
void log_out_of_memory();

// Writes all bytes to a descriptor, repeating after EINTR; other failures end silently.
void write_line_to_fd(int fd, const std::string& line);

// test hook: begin
// For tests: drops the sink and returns to the buffering state with an empty buffer.
void reset_log_for_tests();
// test hook: end
