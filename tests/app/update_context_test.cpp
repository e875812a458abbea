// tavik-update applying its configuration: log sink and level, run-as account, work directory.
#include "test_peer.hpp"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using test::test_peer_t;
namespace fs = boost::filesystem;

const std::string update_line = "Notice: Update 11.0.5.1807201428";
const std::string channel_closed = "Error: Monitor IPC error: End of file";
const std::string exit_1 = "Notice: Exit with status 1 (Error on monitor channel)";
const std::string exit_102 = "Notice: Exit with status 102 (Invalid configuration)";
using lines_t = std::vector<std::string>;

// Sends the configuration, lets it take effect, then closes the channel and collects the end.
int configure_and_close(test_peer_t& peer, const tvk::UpdateConfig& config) {
    peer.send(test::use_context(config));
    std::this_thread::sleep_for(300ms);
    peer.close_channel();
    return peer.wait_exit();
}

TEST(log_setup, buffered_lines_are_filtered_by_the_configured_level) {
    const struct {
        const char* title;
        tvk::LogLevel level;
        lines_t lines;
        std::vector<std::string> allowed;  // line prefixes that pass the threshold
    } cases[] = {
        {"debug keeps everything", tvk::LOG_LEVEL_DEBUG, {update_line, channel_closed, exit_1},
         {"Debug: ", "Info: ", "Notice: ", "Warning: ", "Error: "}},
        {"notice keeps the start line", tvk::LOG_LEVEL_NOTICE, {update_line, channel_closed, exit_1},
         {"Notice: ", "Warning: ", "Error: "}},
        {"warning drops notices", tvk::LOG_LEVEL_WARNING, {channel_closed}, {"Warning: ", "Error: "}},
        {"error drops notices", tvk::LOG_LEVEL_ERROR, {channel_closed}, {"Error: "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        test_peer_t peer;
        EXPECT_EQ(configure_and_close(peer, test::stderr_config(peer.dir() + "/work", c.level)), 1);
        const lines_t lines = peer.err_lines();
        EXPECT_TRUE(test::in_order(lines, c.lines));
        for (const auto& line : lines) {
            bool passes = false;
            for (const auto& prefix : c.allowed) passes = passes || line.rfind(prefix, 0) == 0;
            EXPECT_TRUE(passes) << "below the threshold: " << line;
        }
        if (c.level >= tvk::LOG_LEVEL_WARNING) {
            EXPECT_EQ(std::count(lines.begin(), lines.end(), update_line), 0);
        } else {
            EXPECT_EQ(lines.front(), update_line) << "the start line comes first";
        }
    }
}

TEST(log_setup, stderr_with_timestamps_carries_time_and_pid) {
    test_peer_t peer;
    tvk::UpdateConfig config = test::stderr_config(peer.dir() + "/work", tvk::LOG_LEVEL_NOTICE);
    config.mutable_actual_log()->set_show_timestamp(true);
    EXPECT_EQ(configure_and_close(peer, config), 1);
    const std::regex layout("\\d{4}-[A-Z][a-z]{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[" + std::to_string(peer.pid()) +
                            "\\] (.*)");
    lines_t messages;
    for (const auto& line : peer.err_lines()) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, layout)) << line;
        messages.push_back(m[1]);
    }
    EXPECT_TRUE(test::in_order(messages, {update_line, channel_closed, exit_1}));
}

TEST(log_setup, file_log_receives_every_line_and_stderr_stays_empty) {
    test_peer_t peer;
    const std::string log_path = peer.dir() + "/update.log";
    tvk::UpdateConfig config = test::stderr_config(peer.dir() + "/work", tvk::LOG_LEVEL_NOTICE);
    config.mutable_actual_log()->set_type(tvk::Log::FILE);
    config.mutable_actual_log()->set_path(log_path);
    EXPECT_EQ(configure_and_close(peer, config), 1);
    EXPECT_EQ(peer.err(), "");
    const std::string text = test::read_file(log_path);
    const std::string pid = "[" + std::to_string(peer.pid()) + "] ";
    EXPECT_NE(text.find(pid + update_line + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(pid + channel_closed + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(pid + exit_1 + "\n"), std::string::npos) << text;
    struct stat st {};
    ASSERT_EQ(::stat(log_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u) << "log writable by others";
}

TEST(log_setup, log_file_that_cannot_be_created_ends_with_102_on_stderr) {
    test_peer_t peer;
    const std::string log_path = peer.dir() + "/missing/update.log";
    tvk::UpdateConfig config = test::stderr_config(peer.dir() + "/work", tvk::LOG_LEVEL_ERROR);
    config.mutable_actual_log()->set_type(tvk::Log::FILE);
    config.mutable_actual_log()->set_path(log_path);
    peer.send(test::use_context(config));
    EXPECT_EQ(peer.wait_exit(), 102);
    EXPECT_EQ(peer.err_lines(),
              (lines_t{update_line, "Error: Cannot create log: No such file or directory: \"" + log_path + "\"",
                       "Error: Invalid configuration", exit_102}));
    EXPECT_FALSE(fs::exists(peer.dir() + "/work")) << "nothing after the failed step runs";
}

TEST(log_setup, unresolved_auto_type_falls_back_to_stderr_with_a_warning) {
    test_peer_t peer;
    tvk::UpdateConfig config = test::stderr_config(peer.dir() + "/work", tvk::LOG_LEVEL_INFO);
    config.mutable_actual_log()->set_type(tvk::Log::AUTO);
    peer.send(test::use_context(config));
    ASSERT_TRUE(peer.wait_stderr("Warning: "));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(peer.running());
    peer.close_channel();
    EXPECT_EQ(peer.wait_exit(), 1);
    const lines_t lines = peer.err_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], update_line);
    EXPECT_EQ(lines[1], "Warning: Log type Auto is not resolved, logging to standard error");
    EXPECT_TRUE(test::in_order(lines, {channel_closed, exit_1}));
}

TEST(log_setup, absent_log_goes_to_syslog_as_daemon) {
    test::dev_log_t dev_log;
    std::string why;
    if (!dev_log.take(why)) GTEST_SKIP() << why;
    test_peer_t peer;
    tvk::UpdateConfig config = test::stderr_config(peer.dir() + "/work", tvk::LOG_LEVEL_NOTICE);
    config.clear_actual_log();
    peer.send(test::use_context(config));
    const std::string datagram = dev_log.next_from("tavik-update");
    // LOG_DAEMON (3) * 8 + LOG_NOTICE (5), the default ident and the process id.
    EXPECT_EQ(datagram.rfind("<29>", 0), 0u) << datagram;
    EXPECT_NE(datagram.find(" tavik-update[" + std::to_string(peer.pid()) + "]: Update 11.0.5.1807201428"),
              std::string::npos)
        << datagram;
    peer.close_channel();
    EXPECT_EQ(peer.wait_exit(), 1);
    EXPECT_NE(dev_log.next_from("tavik-update").find("]: Monitor IPC error: End of file"), std::string::npos);
    EXPECT_EQ(peer.err(), "");
}

TEST(run_as, account_that_cannot_be_resolved_ends_with_102) {
    const struct {
        const char* title;
        bool set_name;
        const char* name;
        const char* lookup;
    } cases[] = {
        {"unknown name", true, "no-such-user-tavik", "Error: getpwnam(\"no-such-user-tavik\"): "},
        {"no account configured", false, "", "Error: getpwnam(\"\"): "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        test_peer_t peer;
        tvk::UpdateConfig config = test::stderr_config(peer.dir() + "/work");
        config.clear_run_as_user();
        if (c.set_name) config.mutable_run_as_user()->set_name(c.name);
        peer.send(test::use_context(config));
        EXPECT_EQ(peer.wait_exit(), 102);
        const lines_t lines = peer.err_lines();
        ASSERT_EQ(lines.size(), 4u) << peer.err();
        EXPECT_EQ(lines[0], update_line);
        EXPECT_EQ(lines[1].rfind(c.lookup, 0), 0u) << lines[1];
        EXPECT_EQ(lines[2], "Error: Invalid configuration");
        EXPECT_EQ(lines[3], exit_102);
    }
}

TEST(run_as, current_account_changes_nothing_and_work_dir_is_created_once) {
    test_peer_t peer;
    const fs::path work = fs::path(peer.dir()) / "work";
    EXPECT_EQ(configure_and_close(peer, test::stderr_config(work.string())), 1);
    EXPECT_TRUE(fs::is_directory(work));
    for (const auto& line : peer.err_lines()) {
        EXPECT_EQ(line.find("Run as user"), std::string::npos) << line;
        EXPECT_EQ(line.find("Ownership taken"), std::string::npos) << line;
    }

    // An existing work directory keeps its contents and mode.
    std::ofstream((work / "kept").string()) << "x";
    fs::permissions(work, fs::perms(0700));
    test_peer_t again;
    EXPECT_EQ(configure_and_close(again, test::stderr_config(work.string())), 1);
    EXPECT_TRUE(fs::exists(work / "kept"));
    EXPECT_EQ(fs::status(work).permissions(), fs::perms(0700));
    fs::remove_all(work);
}

TEST(run_as, failed_hand_over_logs_twice_and_ends_with_102) {
    // A uid without an account entry: its group cannot be found when the tree is handed over.
    const std::uint32_t orphan = 4000000000u;
    ASSERT_EQ(::getpwuid(orphan), nullptr);
    test_peer_t peer;
    const fs::path work = fs::path(peer.dir()) / "work";
    tvk::UpdateConfig config = test::stderr_config(work.string());
    config.mutable_run_as_user()->set_uid(orphan);
    peer.send(test::use_context(config));
    EXPECT_EQ(peer.wait_exit(), 102);
    lines_t lines = peer.err_lines();
    ASSERT_EQ(lines.size(), 5u) << peer.err();
    // The reason is the system's text when the lookup sets errno, else "No user with such uid".
    EXPECT_EQ(lines[1].rfind("Error: getpwuid(4000000000): ", 0), 0u) << lines[1];
    lines.erase(lines.begin() + 1);
    EXPECT_EQ(lines, (lines_t{update_line, "Error: Can not run as user 4000000000", "Error: Invalid configuration",
                              exit_102}));
    struct stat st {};
    ASSERT_EQ(::stat(work.c_str(), &st), 0) << "the work directory is created before the hand-over";
    EXPECT_EQ(st.st_uid, ::getuid());
}

TEST(run_as, no_statistics_while_nothing_moves) {
    test_peer_t peer;
    peer.send(test::use_context(test::stderr_config(peer.dir() + "/work")));
    ASSERT_TRUE(peer.wait_stderr(update_line));
    // No traffic: the once-a-second statistics stay silent across the timer.
    for (const auto& message : peer.receive(1500ms)) {
        EXPECT_NE(message.tag(), tvk::Update2ConfigdMessage::MY_STAT_NOTIFICATION) << message.ShortDebugString();
    }
    EXPECT_TRUE(peer.running());
}

TEST(run_as, work_dir_is_created_without_parents) {
    test_peer_t peer;
    const fs::path work = fs::path(peer.dir()) / "a" / "work";
    peer.send(test::use_context(test::stderr_config(work.string())));
    EXPECT_EQ(peer.wait_exit(), 102);
    EXPECT_FALSE(fs::exists(work.parent_path()));
    const lines_t lines = peer.err_lines();
    ASSERT_EQ(lines.size(), 4u) << peer.err();
    EXPECT_NE(lines[1].find("No such file or directory"), std::string::npos) << lines[1];
}

struct passwd_entry_t {
    uid_t uid;
    gid_t gid;
};

bool nobody(passwd_entry_t& entry) {
    const struct passwd* pw = ::getpwnam("nobody");
    if (!pw) return false;
    entry = {pw->pw_uid, pw->pw_gid};
    return true;
}

TEST(run_as, other_account_gets_the_work_dir_and_the_process_drops_to_it) {
    if (::geteuid() != 0) GTEST_SKIP() << "dropping privileges needs root";
    passwd_entry_t user{};
    if (!nobody(user)) GTEST_SKIP() << "no account nobody";
    const std::string ids = std::to_string(user.uid) + ":" + std::to_string(user.gid);

    const struct {
        const char* title;
        bool by_name;
    } cases[] = {{"by name", true}, {"by uid", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        test_peer_t peer;
        const fs::path work = fs::path(peer.dir()) / "work";
        fs::create_directories(work / "zone");
        std::ofstream((work / "zone" / "file").string()) << "x";
        std::ofstream((fs::path(peer.dir()) / "outside").string()) << "x";
        fs::create_symlink(fs::path(peer.dir()) / "outside", work / "link");

        tvk::UpdateConfig config = test::stderr_config(work.string());
        config.clear_run_as_user();
        if (c.by_name) {
            config.mutable_run_as_user()->set_name("nobody");
        } else {
            config.mutable_run_as_user()->set_uid(user.uid);
        }
        peer.send(test::use_context(config));
        ASSERT_TRUE(peer.wait_stderr("Run as user ")) << peer.err();

        const std::string uid_line = test::proc_status_line(peer.pid(), "Uid:");
        if (!uid_line.empty()) {
            const std::string u = std::to_string(user.uid), g = std::to_string(user.gid);
            EXPECT_EQ(uid_line, "Uid:\t" + u + "\t" + u + "\t" + u + "\t" + u);
            EXPECT_EQ(test::proc_status_line(peer.pid(), "Gid:"), "Gid:\t" + g + "\t" + g + "\t" + g + "\t" + g);
            // No supplementary group of root survives the drop.
            EXPECT_EQ(test::proc_status_line(peer.pid(), "Groups:"), "Groups:\t" + g + " ");
        }
        for (const fs::path& p : {work, work / "zone", work / "zone" / "file"}) {
            struct stat st {};
            ASSERT_EQ(::lstat(p.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, user.uid) << p;
            EXPECT_EQ(st.st_gid, user.gid) << p;
        }
        struct stat outside {};
        ASSERT_EQ(::stat((fs::path(peer.dir()) / "outside").c_str(), &outside), 0);
        EXPECT_EQ(outside.st_uid, 0u) << "the link was followed";

        peer.close_channel();
        EXPECT_EQ(peer.wait_exit(), 1);
        const lines_t lines = peer.err_lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Debug: Run as user " + ids), lines.end()) << peer.err();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Debug: Ownership taken: \"" + work.string() + "\""),
                  lines.end())
            << peer.err();
        EXPECT_EQ(lines.back(), exit_1);
    }
}

}  // namespace
