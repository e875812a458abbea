// The process-wide log: one sink at a time, buffering until the first sink, stderr at exit.
#include "cf_log.hpp"

#include "error_code.hpp"
#include "fd_io.hpp"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <utility>
#include <vector>

int cf_log_t::level_ = cf_log_t::debug;
boost::mutex cf_log_t::mutex_;

namespace {

enum { state_buffering = 0, state_sink = 1, state_shut_down = 2 };

int log_state = state_buffering;
std::shared_ptr<cf_log_t> sink;
std::vector<std::pair<cf_log_t::level_t, std::string>> buffer;

const char oom_line[] = "Error: Not enough memory\n";

void write_oom_to_stderr() {
    boost::system::error_code ignored;  // nothing allocated on the way
    write_all(2, oom_line, sizeof(oom_line) - 1, ignored);
}

// Runs at process exit, before the sink and the buffer are destroyed (declared after them).
struct log_static_guard_t {
    ~log_static_guard_t() {
        log_state = state_shut_down;
        if (!buffer.empty()) {
            cf_log_t::log(cf_log_t::debug, "Flushing log...");
            auto lines = std::move(buffer);
            buffer.clear();
            for (const auto& line : lines) cf_log_t::log(line.first, line.second);
        }
    }
} log_static_guard;

std::string stderr_line(int level, const std::string& message) {
    std::string line = cf_log_t::level_text(level);
    line += ": ";
    line += message;
    line += '\n';
    return line;
}

}  // namespace

void write_line_to_fd(int fd, const std::string& line) {
    boost::system::error_code ignored;  // a log line that cannot be written is lost, nothing more
    write_all(fd, line.data(), line.size(), ignored);
}

const char* cf_log_t::level_text(int level) {
    switch (level) {
        case debug: return "Debug";
        case info: return "Info";
        case notice: return "Notice";
        case warning: return "Warning";
        case error: return "Error";
        default: return "Unknown";
    }
}

int cf_log_t::syslog_priority(int level) {
    switch (level) {
        case debug: return cf_syslog::debug;
        case info: return cf_syslog::info;
        case notice: return cf_syslog::notice;
        case warning: return cf_syslog::warning;
        default: return cf_syslog::error;
    }
}

cf_log_t::level_t cf_log_t::from_config(int log_level) {
    if (log_level >= 1 && log_level <= 5) return static_cast<level_t>(log_level - 1);
    return error;
}

namespace {

// One record is one line, whatever a server put into the text (a reason phrase, a challenge, a
// URL): control characters are written as \xNN, and a record is cut at 4 KiB with "...".
const std::size_t max_record = 4096;

bool printable(const std::string& text) {
    if (text.size() > max_record) return false;
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    return true;
}

std::string made_printable(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const std::size_t width = (c < 0x20 && c != '\t') || c == 0x7F ? 4 : 1;
        if (out.size() + width > max_record - 3) return out + "...";
        if (width == 1)
            out += static_cast<char>(c);
        else
            out += std::string{'\\', 'x', digits[c >> 4], digits[c & 15]};
    }
    return out;
}

}  // namespace

void cf_log_t::log(level_t level, const std::string& text) {
    std::string cleaned;
    const std::string& message = printable(text) ? text : (cleaned = made_printable(text));
    switch (log_state) {
        case state_sink: {
            std::shared_ptr<cf_log_t> s;
            {
                boost::mutex::scoped_lock lock(mutex_);
                s = sink;
            }
            if (s) s->write(level, message);
            break;
        }
        case state_shut_down:
            if (level >= level_) write_line_to_fd(2, stderr_line(level, message));
            break;
        default: buffer.emplace_back(level, message); break;
    }
}

cf_syslog_log_t::cf_syslog_log_t(const char* ident, int facility)
    : facility_(facility), ident_(ident ? ::strdup(ident) : nullptr) {}

cf_syslog_log_t::~cf_syslog_log_t() {
    ::closelog();
    std::free(ident_);
}

void cf_syslog_log_t::open() { ::openlog(ident_, LOG_PID, facility_); }

void cf_syslog_log_t::write(level_t level, const std::string& message) {
    ::syslog(syslog_priority(level), "%s", message.c_str());
}

void cf_syslog_log_t::write(const std::string& file, int line, const std::string& message) {
    std::string text = file + "-" + std::to_string(line) + ": " + message;
    ::syslog(LOG_ERR, "%s", text.c_str());
}

void cf_syslog_log_t::out_of_memory() { ::syslog(LOG_ERR, "Error: Not enough memory"); }

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd) : fd_(fd), owns_fd_(owns_fd), pid_(::getpid()) {}

cf_file_log_t::~cf_file_log_t() {
    if (owns_fd_ && fd_ >= 0) ::close(fd_);
}

std::string cf_file_log_t::timestamp() {
    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    return boost::posix_time::to_simple_string(now);
}

void cf_file_log_t::write(level_t level, const std::string& message) {
    std::string line = timestamp() + " [" + std::to_string(pid_) + "] " + level_text(level) + ": " + message + "\n";
    boost::mutex::scoped_lock lock(mutex_);
    write_line_to_fd(fd_, line);
}

void cf_file_log_t::write(const std::string& file, int line, const std::string& message) {
    std::string text = timestamp() + " [" + file + "-" + std::to_string(line) + "] " + message + "\n";
    boost::mutex::scoped_lock lock(mutex_);
    write_line_to_fd(fd_, text);
}

void cf_file_log_t::out_of_memory() { write_oom_to_stderr(); }

void cf_console_log_t::write(level_t level, const std::string& message) {
    std::string line = stderr_line(level, message);
    boost::mutex::scoped_lock lock(mutex_);
    write_line_to_fd(2, line);
}

void cf_console_log_t::write(const std::string& file, int line, const std::string& message) {
    std::string text = file + "-" + std::to_string(line) + ": " + message + "\n";
    boost::mutex::scoped_lock lock(mutex_);
    write_line_to_fd(2, text);
}

void cf_console_log_t::out_of_memory() { write_oom_to_stderr(); }

namespace {

int syslog_facility(const tvk::Log& log) {
    if (!log.has_facility()) return LOG_DAEMON;
    switch (log.facility()) {
        case tvk::Log::DAEMON: return LOG_DAEMON;
        case tvk::Log::USER: return LOG_USER;
        case tvk::Log::MAIL: return LOG_MAIL;
        case tvk::Log::LOCAL0: return LOG_LOCAL0;
        case tvk::Log::LOCAL1: return LOG_LOCAL1;
        case tvk::Log::LOCAL2: return LOG_LOCAL2;
        case tvk::Log::LOCAL3: return LOG_LOCAL3;
        case tvk::Log::LOCAL4: return LOG_LOCAL4;
        case tvk::Log::LOCAL5: return LOG_LOCAL5;
        case tvk::Log::LOCAL6: return LOG_LOCAL6;
        case tvk::Log::LOCAL7: return LOG_LOCAL7;
        default: return LOG_DAEMON;
    }
}

}  // namespace

std::shared_ptr<cf_log_t> make_log(const tvk::Log& log) {
    switch (log.type()) {
        case tvk::Log::FILE: {
            // Opened as root, in a folder a user may write: a planted link (ELOOP) is not
            // followed, a FIFO does not block the start, and only a file of our own or a console
            // is written to. A second link to a file may be anybody's file (FreeBSD lets users
            // hard-link files of others).
            const int fd =
                ::open(log.path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
            struct stat st;
            boost::system::error_code ec;
            if (fd < 0 || ::fstat(fd, &st) != 0)
                ec.assign(errno, boost::system::system_category());
            else if (S_ISREG(st.st_mode) && st.st_nlink > 1)
                ec.assign(EMLINK, boost::system::system_category());
            else if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode))
                ec = tvk::make_error_code(tvk::EC_NOT_A_REGULAR_FILE);
            if (ec) {
                if (fd >= 0) ::close(fd);
                throw boost::filesystem::filesystem_error("Cannot create log", log.path(), ec);
            }
            ::fcntl(fd, F_SETFL, O_APPEND);  // a console must not drop lines that would block
            return std::make_shared<cf_file_log_t>(fd, true);
        }
        case tvk::Log::STDERR:
            if (log.show_timestamp()) return std::make_shared<cf_file_log_t>(2, false);
            return std::make_shared<cf_console_log_t>();
        case tvk::Log::SYSLOG:
            return std::make_shared<cf_syslog_log_t>(log.has_ident() ? log.ident().c_str() : nullptr,
                                                     syslog_facility(log));
        default: return nullptr;
    }
}

void set_log(std::shared_ptr<cf_log_t> new_sink) {
    {
        boost::mutex::scoped_lock lock(cf_log_t::mutex_);
        sink = std::move(new_sink);
        if (sink) sink->open();
        log_state = state_sink;
    }
    auto lines = std::move(buffer);
    buffer.clear();
    for (const auto& line : lines) {
        if (line.first >= cf_log_t::level_) cf_log_t::log(line.first, line.second);
    }
}

bool has_log() {
    boost::mutex::scoped_lock lock(cf_log_t::mutex_);
    return static_cast<bool>(sink);
}

void log_out_of_memory() {
    if (log_state == state_sink) {
        std::shared_ptr<cf_log_t> s;
        {
            boost::mutex::scoped_lock lock(cf_log_t::mutex_);
            s = sink;
        }
        if (s) {
            s->out_of_memory();
            return;
        }
    }
    write_oom_to_stderr();
}

// test hook: begin
void reset_log_for_tests() {
    {
        boost::mutex::scoped_lock lock(cf_log_t::mutex_);
        sink.reset();
        log_state = state_buffering;
    }
    buffer.clear();
}
// test hook: end
