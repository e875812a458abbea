// tavik-update applying its configuration: log, run-as account, work folder.
#include "tests/support/updater_process.hpp"

#include <pwd.h>
#include <sys/stat.h>

namespace {

using lines_t = std::vector<std::string>;

// Once asked to install, the daemon hangs up (or reads the /proc status).
lines_t configure(const tvk::UpdateConfig& config, int status, bool proc_status = false) {
    ts::updater_t updater;
    updater.send(ts::use_context(config));
    std::vector<tvk::Update2ConfigdMessage> messages;
    for (int i = 0; i < 100 && messages.empty() && updater.receive(messages, 50); ++i) continue;
    if (proc_status) return {ts::slurp("/proc/" + std::to_string(updater.pid()) + "/status")};
    updater.close_write();
    EXPECT_EQ(updater.wait_exit(), status);
    return updater.err_lines();
}

TEST(inventory, configuration_refusals) {
    using namespace tvk;
    ts::scratch_t dir;
    const std::string start = "Notice: Update 11.0.5.1807201428", closed = "Error: Monitor IPC error: End of file",
                      exit_1 = "Notice: Exit with status 1 (Error on monitor channel)",
                      bad = "Error: Invalid configuration",
                      exit_102 = "Notice: Exit with status 102 (Invalid configuration)", log = (dir / "x.log").string();
    ts::spit(dir / "secret", "s"), ::mkfifo((dir / "fifo.log").c_str(), 0600),
        ts::fs::create_hard_link(dir / "secret", dir / "hard.log");
    ts::fs::create_symlink(dir / "secret", dir / "link.log");
    const auto log_at = [&](const char* name) {
        return [path = (dir / name).string()](UpdateConfig& c) {
            c.mutable_actual_log()->set_type(Log::FILE), c.mutable_actual_log()->set_path(path);
        };
    };
    const auto refused = [&](const char* name, const std::string& why) {
        return lines_t{
            start, "Error: Config option actual_log: Cannot create log: " + why + ": \"" + (dir / name).string() + "\"",
            bad, exit_102};
    };
    const struct {
        std::function<void(UpdateConfig&)> change;
        int status;
        lines_t lines;  // a line ending in "*" is matched as a prefix
    } rows[] = {
        // Lines buffered before the sink meet its threshold too.
        {[](UpdateConfig& c) { c.set_log_level(LOG_LEVEL_WARNING), c.mutable_actual_log()->set_type(Log::AUTO); },
         1,
         {"Warning: Log type Auto is not resolved, logging to standard error",
          "Warning: No zone is installed and enabled: there is nothing to update", closed}},
        // Opened as root in a folder others may write: no planted link is followed.
        {log_at("link.log"), 102, refused("link.log", "Too many levels of symbolic links")},
        {log_at("hard.log"), 102, refused("hard.log", "Too many links")},
        {log_at("fifo.log"), 102, refused("fifo.log", "No such device or address")},
        {[](UpdateConfig& c) {
             c.mutable_run_as_user()->clear_uid(), c.mutable_run_as_user()->set_name("no-such-user");
         },
         102,
         {start, "Error: Config option run_as_user: getpwnam(\"no-such-user\"): *", bad, exit_102}},
        {[](UpdateConfig& c) { c.mutable_run_as_user()->set_uid(4000000000u); },
         102,
         {start, "Error: Config option run_as_user: getpwuid(4000000000): *",
          "Error: Config option run_as_user: Can not run as user 4000000000", bad, exit_102}},
        {[&](UpdateConfig& c) { c.set_update_dir((dir / "no" / "var").string()); },
         102,
         {start, "Error: Config option update_dir: create_directory: No such file or directory*", bad, exit_102}},
        {[](UpdateConfig& c) { c.set_update_dir(""); },
         102,
         {start, "Error: Config option update_dir is empty", bad, exit_102}},
        {log_at("x.log"), 1, {}},
    };
    for (const auto& r : rows) {
        UpdateConfig config = ts::base_config(dir / "var");
        config.set_log_level(LOG_LEVEL_NOTICE);
        r.change(config);
        const lines_t lines = configure(config, r.status);
        ASSERT_EQ(lines.size(), r.lines.size()) << ::testing::PrintToString(lines);
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].substr(0, r.lines[i].back() == '*' ? r.lines[i].size() - 1 : std::string::npos),
                      r.lines[i].substr(0, r.lines[i].size() - (r.lines[i].back() == '*')));
    }
    EXPECT_FALSE(ts::fs::exists(dir / "no"));
    EXPECT_EQ(ts::slurp(dir / "secret"), "s");
    for (const auto& line : {start, closed, exit_1})
        EXPECT_NE(ts::slurp(log).find("] " + line + "\n"), std::string::npos) << line;
    struct stat st {};
    ::stat(log.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    if (::geteuid() != 0) GTEST_SKIP() << "dropping privileges needs root";
    const passwd* pw = ::getpwnam("nobody");
    ts::spit(dir / "var" / "zone" / "file", "x");
    ts::fs::create_symlink(dir / "x.log", dir / "var" / "link");
    UpdateConfig config = ts::base_config(dir / "var");
    config.mutable_run_as_user()->clear_uid(), config.mutable_run_as_user()->set_name("nobody");
    const std::string status = configure(config, 0, true).at(0), u = std::to_string(pw->pw_uid),
                      g = std::to_string(pw->pw_gid);
    EXPECT_NE(status.find("Uid:\t" + u + "\t" + u + "\t" + u + "\t" + u + "\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Gid:\t" + g + "\t" + g + "\t" + g + "\t" + g + "\n"), std::string::npos) << status;
    EXPECT_NE(status.find("Groups:\t" + g + " \n"), std::string::npos) << "no group of root survives";
    for (const auto& p : {dir / "var", dir / "var" / "zone", dir / "var" / "zone" / "file", dir / "x.log"}) {
        ::lstat(p.c_str(), &st);
        EXPECT_EQ(st.st_uid, p == dir / "x.log" ? 0 : pw->pw_uid) << p << ": a link is never followed";
    }
}

}  // namespace
