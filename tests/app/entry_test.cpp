// The entry's handlers in a child process: exit line and status, terminate handler, protobuf log.
#include "test_peer.hpp"

#include "app/entry.hpp"
#include "framework/cf_log.hpp"
#include "tests/support/test_support.hpp"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct child_result_t {
    int status = -1;
    std::string err;
};

// Runs `body` in a forked child with a fresh log and standard error captured.
child_result_t in_child(const std::function<void()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], 2);
        reset_log_for_tests();
        cf_log_t::level_ = cf_log_t::debug;
        body();
        ::_exit(200);
    }
    ::close(fds[1]);
    child_result_t result;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) result.err.append(buffer, n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(exit_with_status, logs_the_status_text_and_exits_with_it) {
    const struct {
        int status;
        const char* line;
    } cases[] = {
        {0, "Notice: Exit with status 0 (Success)\n"},
        {107, "Notice: Exit with status 107 (Process terminated by signal)\n"},
        {102, "Notice: Exit with status 102 (Invalid configuration)\n"},
        {14, "Notice: Exit with status 14 (14)\n"},  // no enumerator has this number
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        const child_result_t r = in_child([&] {
            cf_log_t::log(cf_log_t::notice, "Update 11.0.5.1807201428");
            cf_log_t::log(cf_log_t::debug, "below the exit threshold");
            exit_with_status(c.status);
        });
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, std::string("Notice: Update 11.0.5.1807201428\n") + c.line);
    }
}

TEST(exit_with_status, installed_sink_and_threshold_are_kept) {
    const child_result_t r = in_child([] {
        cf_log_t::level_ = cf_log_t::error;
        set_log(std::make_shared<cf_console_log_t>());
        exit_with_status(125);
    });
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "");
}

[[noreturn]] void throw_from_noexcept(const std::function<void()>& thrower) noexcept {
    thrower();
    std::abort();
}

TEST(on_terminate, reports_what_escaped_and_exits_with_its_code) {
    const struct {
        const char* title;
        std::function<void()> thrower;
        int status;
        const char* err;
    } cases[] = {
        {"system error", [] { throw boost::system::system_error(EACCES, boost::system::system_category(), "open"); },
         24, "Error: open: Permission denied\n"},
        {"runtime error", [] { throw std::runtime_error("broken"); }, 125, "Error: broken\n"},
        {"out of memory", [] { throw std::bad_alloc(); }, 21, "Error: Not enough memory\n"},
        {"not an exception class", [] { throw 42; }, 125, "Error: Unexpected exception\n"},
        {"no exception in flight", [] { std::terminate(); }, 125, "Error: Unexpected exception\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const child_result_t r = in_child([&] {
            std::set_terminate(on_terminate);
            throw_from_noexcept(c.thrower);
        });
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(on_protobuf_log, levels_map_and_the_large_message_warning_is_dropped) {
    auto sink = std::make_shared<test_support::text_log_t>();
    cf_log_t::level_ = cf_log_t::debug;
    set_log(sink);
    const struct {
        google::protobuf::LogLevel level;
        const char* message;
        const char* line;  // nullptr: dropped
    } cases[] = {
        {google::protobuf::LOGLEVEL_INFO, "info", "Info: info"},
        {google::protobuf::LOGLEVEL_WARNING, "warn", "Warning: warn"},
        {google::protobuf::LOGLEVEL_WARNING,
         "Reading dangerously large protocol message.  If the message turns out to be larger than 67108864 bytes",
         nullptr},
        {google::protobuf::LOGLEVEL_WARNING, "Reading dangerously large", "Warning: Reading dangerously large"},
        {google::protobuf::LOGLEVEL_ERROR, "Reading dangerously large protocol message.",
         "Error: Reading dangerously large protocol message."},
        {google::protobuf::LOGLEVEL_ERROR, "missing required fields: tag", "Error: missing required fields: tag"},
        {google::protobuf::LOGLEVEL_FATAL, "fatal", "Error: fatal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        sink->lines.clear();
        on_protobuf_log(c.level, "descriptor.cc", 12, c.message);
        EXPECT_EQ(sink->lines, c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
    }
    // Below the threshold nothing is written.
    cf_log_t::level_ = cf_log_t::error;
    sink->lines.clear();
    on_protobuf_log(google::protobuf::LOGLEVEL_WARNING, "f", 1, "quiet");
    EXPECT_TRUE(sink->lines.empty());
    reset_log_for_tests();
    cf_log_t::level_ = cf_log_t::debug;
}

}  // namespace
