// The process log: buffering until a sink, filtering at install, sink line layouts and make_log.
#include "framework/cf_log.hpp"
#include "support/test_support.hpp"

#include <boost/filesystem.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

class capture_log_t : public cf_log_t {
public:
    void open() override { ++opened; }
    void write(level_t level, const std::string& message) override {
        lines.push_back(std::string(level_text(level)) + ": " + message);
    }
    void write(const std::string& file, int line, const std::string& message) override {
        lines.push_back(file + "-" + std::to_string(line) + ": " + message);
    }
    void out_of_memory() override { ++oom; }
    std::vector<std::string> lines;
    int opened = 0;
    int oom = 0;
};

class log_test : public ::testing::Test {
protected:
    void SetUp() override {
        reset_log_for_tests();
        cf_log_t::level_ = cf_log_t::debug;
        char pattern[] = "/tmp/tavik-log-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        reset_log_for_tests();
        cf_log_t::level_ = cf_log_t::debug;
        boost::system::error_code ec;
        fs::remove_all(dir_, ec);
        EXPECT_FALSE(fs::exists(dir_));
    }
    static std::string read_file(const fs::path& p) {
        std::ifstream in(p.string());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Runs `body` with standard error sent to a file and returns what it wrote.
    template <class F>
    std::string capture_stderr(F body) {
        const fs::path out = dir_ / "stderr";
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int saved = ::dup(2);
        ::dup2(fd, 2);
        ::close(fd);
        body();
        ::dup2(saved, 2);
        ::close(saved);
        return read_file(out);
    }
    fs::path dir_;
};

TEST_F(log_test, buffered_lines_are_flushed_in_order_above_the_new_threshold) {
    cf_log_t::log(cf_log_t::notice, "Update 11.0.5.1807201428");
    cf_log_t::log(cf_log_t::debug, "d1");
    cf_log_t::log(cf_log_t::error, "e1");
    cf_log_t::log(cf_log_t::warning, "w1");
    cf_log_t::log(cf_log_t::info, "i1");
    cf_log_t::log(cf_log_t::warning, "w2");
    EXPECT_FALSE(has_log());

    auto sink = std::make_shared<capture_log_t>();
    cf_log_t::level_ = cf_log_t::warning;
    set_log(sink);
    EXPECT_TRUE(has_log());
    EXPECT_EQ(sink->opened, 1);
    EXPECT_EQ(sink->lines, (std::vector<std::string>{"Error: e1", "Warning: w1", "Warning: w2"}));

    // A later sink starts empty: the buffer went to the first one.
    auto second = std::make_shared<capture_log_t>();
    set_log(second);
    EXPECT_TRUE(second->lines.empty());
    cf_log_t::log(cf_log_t::notice, "after");
    EXPECT_EQ(second->lines, std::vector<std::string>{"Notice: after"});
    EXPECT_EQ(sink->lines.size(), 3u);
}

TEST_F(log_test, threshold_decides_before_the_text_is_built) {
    auto sink = std::make_shared<capture_log_t>();
    set_log(sink);
    int built = 0;
    auto text = [&built] {
        ++built;
        return "x";
    };
    const struct {
        cf_log_t::level_t threshold;
        int expected_lines;
    } cases[] = {{cf_log_t::debug, 5}, {cf_log_t::notice, 3}, {cf_log_t::error, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.threshold);
        sink->lines.clear();
        built = 0;
        cf_log_t::level_ = c.threshold;
        LOG_DEBUG(text());
        LOG_INFO(text());
        LOG_NOTICE(text());
        LOG_WARNING(text());
        LOG_ERROR(text());
        EXPECT_EQ(built, c.expected_lines);
        EXPECT_EQ(static_cast<int>(sink->lines.size()), c.expected_lines);
    }
}

TEST_F(log_test, level_texts_priorities_and_configured_levels) {
    const struct {
        int level;
        const char* text;
        int priority;
    } levels[] = {{0, "Debug", 7},   {1, "Info", 6},    {2, "Notice", 5},  {3, "Warning", 4},
                  {4, "Error", 3},   {5, "Unknown", 3}, {-1, "Unknown", 3}};
    for (const auto& l : levels) {
        EXPECT_STREQ(cf_log_t::level_text(l.level), l.text) << l.level;
        EXPECT_EQ(cf_log_t::syslog_priority(l.level), l.priority) << l.level;
    }
    const struct {
        int configured;
        cf_log_t::level_t level;
    } configured[] = {{tvk::LOG_LEVEL_DEBUG, cf_log_t::debug},     {tvk::LOG_LEVEL_INFO, cf_log_t::info},
                      {tvk::LOG_LEVEL_NOTICE, cf_log_t::notice},   {tvk::LOG_LEVEL_WARNING, cf_log_t::warning},
                      {tvk::LOG_LEVEL_ERROR, cf_log_t::error},     {0, cf_log_t::error},
                      {6, cf_log_t::error}};
    for (const auto& c : configured) EXPECT_EQ(cf_log_t::from_config(c.configured), c.level) << c.configured;
}

const char* const timestamp_re = "\\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\\d{2} \\d{2}:\\d{2}:\\d{2}";

TEST_F(log_test, file_sink_lines_carry_timestamp_pid_and_level) {
    const fs::path path = dir_ / "update.log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const auto before = boost::posix_time::second_clock::local_time();
    {
        cf_file_log_t sink(fd, false);
        sink.write(cf_log_t::notice, "Update 11.0.5.1807201428");
        sink.write(cf_log_t::error, "e");
        sink.write("engine.cpp", 42, "position");
    }
    const auto after = boost::posix_time::second_clock::local_time();
    EXPECT_EQ(::fcntl(fd, F_GETFD), 0) << "a sink that does not own the descriptor closed it";
    ::close(fd);

    const std::string pid = std::to_string(::getpid());
    const std::regex layout(std::string("(") + timestamp_re + ") \\[" + pid + "\\] Notice: Update 11\\.0\\.5\\.1807201428\n" +
                            timestamp_re + " \\[" + pid + "\\] Error: e\n" + timestamp_re +
                            " \\[engine\\.cpp-42\\] position\n");
    const std::string text = read_file(path);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, layout)) << text;
    const auto stamp = boost::posix_time::time_from_string(
        boost::posix_time::to_iso_extended_string(boost::posix_time::ptime(
            boost::gregorian::from_simple_string(m[1].str().substr(0, 11)),
            boost::posix_time::duration_from_string(m[1].str().substr(12)))).replace(10, 1, " "));
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
}

TEST_F(log_test, owning_file_sink_closes_its_descriptor) {
    const int fd = ::open((dir_ / "owned.log").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    { cf_file_log_t sink(fd, true); }
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(log_test, console_sink_writes_level_and_message_to_stderr) {
    const std::string out = capture_stderr([] {
        cf_console_log_t sink;
        sink.write(cf_log_t::warning, "w");
        sink.write(static_cast<cf_log_t::level_t>(9), "odd");
        sink.write("f.cpp", 3, "m");
    });
    EXPECT_EQ(out, "Warning: w\nUnknown: odd\nf.cpp-3: m\n");
}

TEST_F(log_test, out_of_memory_goes_to_the_sink_or_else_to_stderr) {
    EXPECT_EQ(capture_stderr([] { log_out_of_memory(); }), "Error: Not enough memory\n");
    auto sink = std::make_shared<capture_log_t>();
    set_log(sink);
    EXPECT_EQ(capture_stderr([] { log_out_of_memory(); }), "");
    EXPECT_EQ(sink->oom, 1);
}

tvk::Log log_of(tvk::Log::LogType type) {
    tvk::Log log;
    log.set_type(type);
    return log;
}

TEST_F(log_test, make_log_builds_the_sink_of_each_type) {
    tvk::Log file = log_of(tvk::Log::FILE);
    file.set_path((dir_ / "make.log").string());
    tvk::Log stamped = log_of(tvk::Log::STDERR);
    stamped.set_show_timestamp(true);
    const struct {
        const char* title;
        tvk::Log log;
        const char* kind;
    } cases[] = {
        {"file", file, "file"},
        {"stderr", log_of(tvk::Log::STDERR), "console"},
        {"stderr with timestamps", stamped, "file"},
        {"syslog", log_of(tvk::Log::SYSLOG), "syslog"},
        {"auto is left to the caller", log_of(tvk::Log::AUTO), "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const std::shared_ptr<cf_log_t> sink = make_log(c.log);
        const std::string kind = !sink                                          ? "none"
                                 : dynamic_cast<cf_file_log_t*>(sink.get())     ? "file"
                                 : dynamic_cast<cf_console_log_t*>(sink.get())  ? "console"
                                 : dynamic_cast<cf_syslog_log_t*>(sink.get())   ? "syslog"
                                                                                : "other";
        EXPECT_EQ(kind, c.kind);
    }
}

TEST_F(log_test, file_log_is_created_0644_and_appended_to) {
    const fs::path path = dir_ / "append.log";
    std::ofstream(path.string()) << "earlier\n";
    fs::permissions(path, fs::perms(0600));
    const fs::path fresh = dir_ / "fresh.log";
    tvk::Log log = log_of(tvk::Log::FILE);

    const mode_t old_mask = ::umask(0);
    log.set_path(fresh.string());
    { auto sink = make_log(log); }
    log.set_path(path.string());
    {
        auto sink = make_log(log);
        sink->write(cf_log_t::info, "later");
    }
    ::umask(old_mask);

    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    const std::string text = read_file(path);
    EXPECT_EQ(text.rfind("earlier\n", 0), 0u) << text;
    EXPECT_NE(text.find("] Info: later\n"), std::string::npos) << text;
}

TEST_F(log_test, file_log_that_cannot_be_opened_throws_cannot_create_log) {
    tvk::Log log = log_of(tvk::Log::FILE);
    const fs::path path = dir_ / "missing" / "update.log";
    log.set_path(path.string());
    try {
        make_log(log);
        ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot create log", 0), 0u) << e.what();
        EXPECT_EQ(e.path1(), path);
        EXPECT_EQ(e.code(), boost::system::error_code(ENOENT, boost::system::system_category()));
    }
    EXPECT_FALSE(fs::exists(path));
}

using test_support::dev_log_t;

TEST_F(log_test, syslog_sink_sends_facility_priority_and_ident) {
    dev_log_t dev_log;
    std::string why;
    if (!dev_log.take(why)) GTEST_SKIP() << why;

    const std::string ident = "tavik-log-test-" + std::to_string(::getpid());
    tvk::Log local3 = log_of(tvk::Log::SYSLOG);
    local3.set_facility(tvk::Log::LOCAL3);
    tvk::Log user = log_of(tvk::Log::SYSLOG);
    user.set_facility(tvk::Log::USER);
    tvk::Log mail = log_of(tvk::Log::SYSLOG);
    mail.set_facility(tvk::Log::MAIL);
    tvk::Log local7 = log_of(tvk::Log::SYSLOG);
    local7.set_facility(tvk::Log::LOCAL7);
    // Facility 5 is not defined: on the wire it arrives as an unknown field.
    tvk::Log undefined;
    const std::string wire = std::string("\x08\x01\x10\x05", 4);
    ASSERT_TRUE(undefined.ParseFromString(wire));
    ASSERT_FALSE(undefined.has_facility());

    const struct {
        const char* title;
        tvk::Log log;
        cf_log_t::level_t level;
        int pri;
    } cases[] = {
        // <pri> = facility * 8 + severity: LOCAL3 19, USER 1, MAIL 2, LOCAL7 23, DAEMON 3.
        {"LOCAL3 warning", local3, cf_log_t::warning, 19 * 8 + 4},
        {"USER error", user, cf_log_t::error, 1 * 8 + 3},
        {"MAIL debug", mail, cf_log_t::debug, 2 * 8 + 7},
        {"LOCAL7 info", local7, cf_log_t::info, 23 * 8 + 6},
        {"absent facility is DAEMON", log_of(tvk::Log::SYSLOG), cf_log_t::notice, 3 * 8 + 5},
        {"undefined facility 5 is DAEMON", undefined, cf_log_t::notice, 3 * 8 + 5},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.title);
        c.log.set_ident(ident);
        const std::string message = std::string("message of ") + c.title;
        {
            auto sink = make_log(c.log);
            ASSERT_TRUE(sink);
            sink->open();
            sink->write(c.level, message);
        }
        const std::string datagram = dev_log.next_from(ident);
        EXPECT_EQ(datagram.rfind("<" + std::to_string(c.pri) + ">", 0), 0u) << datagram;
        const std::string tail = ident + "[" + std::to_string(::getpid()) + "]: " + message;
        EXPECT_NE(datagram.find(tail), std::string::npos) << datagram;
    }

    // The position form is an error line with file and line in front.
    {
        local3.set_ident(ident);
        auto sink = make_log(local3);
        sink->open();
        sink->write("zone.cpp", 7, "lost");
        sink->out_of_memory();
    }
    const std::string position = dev_log.next_from(ident);
    EXPECT_EQ(position.rfind("<" + std::to_string(19 * 8 + 3) + ">", 0), 0u) << position;
    EXPECT_NE(position.find("]: zone.cpp-7: lost"), std::string::npos) << position;
    EXPECT_NE(dev_log.next_from(ident).find("]: Error: Not enough memory"), std::string::npos);
}

}  // namespace
