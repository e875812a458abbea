// tavik-run as a process against a scripted fake updater: installation, refusal on a failed
// copy, dry run, exit statuses, signal forwarding and a dying or misbehaving updater.
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using test_support::exists;
using test_support::listing;
using test_support::read_file;
using test_support::write_file;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

constexpr uid_t nobody = 65534;

// Whether an unprivileged account can run the programs where this build put them.
bool nobody_can_run(const std::vector<std::string>& programs) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(1);
        for (const std::string& p : programs) {
            if (::access(p.c_str(), X_OK) != 0) ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class TavikRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavik-run-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
        src_ = root_ + "/update";
        dst_ = root_ + "/bases";
        ASSERT_EQ(::mkdir(src_.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
        write_file(src_ + "/a.avc", "new a");
        write_file(src_ + "/b.avc", "new b");
        write_file(dst_ + "/a.avc", "old a");
        write_file(dst_ + "/obsolete.avc", "obsolete");
        write_file(root_ + "/update.conf",
                   "update_dir: \"" + src_ + "\"\nlog_level: LOG_LEVEL_DEBUG\n"
                   "base_installed: true\nbase_update_enabled: true\n");
    }
    void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

    struct result_t {
        int status = -1;
        std::string out, err, report;
    };

    // Starts tavik-run with the fake updater and the script; returns its pid.
    pid_t start(const std::string& script, std::vector<std::string> extra = {},
                bool as_nobody = false) {
        write_file(root_ + "/script", script);
        std::vector<std::string> args = {TAVIK_RUN, "--updater", TAVIK_FAKE_UPDATER};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(root_ + "/update.conf");
        std::vector<std::string> env_text = {"FAKE_UPDATER_SCRIPT=" + root_ + "/script",
                                             "FAKE_UPDATER_REPORT=" + root_ + "/report"};
        for (char** e = environ; *e; ++e) env_text.push_back(*e);
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        for (auto& e : env_text) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        const std::string out = root_ + "/stdout", err = root_ + "/stderr";
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            ::dup2(o, 1);
            ::dup2(e, 2);
            if (as_nobody && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) ::_exit(250);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(251);
        }
        return pid;
    }

    // Waits for the process, at most 30 s so that a hang fails the test instead of blocking it.
    result_t finish(pid_t pid) {
        result_t r;
        int status = 0;
        for (int i = 0; i < 3000; ++i) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (r.status == -1) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "tavik-run did not end";
        }
        r.out = read_file(root_ + "/stdout");
        r.err = read_file(root_ + "/stderr");
        r.report = read_file(root_ + "/report");
        return r;
    }

    result_t run(const std::string& script, std::vector<std::string> extra = {}) {
        return finish(start(script, extra));
    }

    bool wait_for_report(const std::string& line) {
        for (int i = 0; i < 3000; ++i) {
            if (contains(read_file(root_ + "/report"), line)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string install_script(const std::string& second_source,
                               const std::string& second_destination) {
        return "place " + src_ + "/a.avc " + dst_ + "/a.avc\n" + "place " + second_source + " " +
               second_destination + "\n" + "remove " + dst_ + "/obsolete.avc\n" + "current " +
               dst_ + "/same.avc\n" + "request\nexit 0\n";
    }

    void expect_bases_untouched() {
        EXPECT_EQ(read_file(dst_ + "/a.avc"), "old a");
        EXPECT_EQ(read_file(dst_ + "/obsolete.avc"), "obsolete");
        EXPECT_EQ(listing(dst_), (std::vector<std::string>{"a.avc", "obsolete.avc"}));
    }

    std::string root_, src_, dst_;
};

TEST_F(TavikRunTest, InstallsTheRequestedFilesAndRemovesObsoleteOnes) {
    const result_t r = run(install_script(src_ + "/b.avc", dst_ + "/b.avc"), {"-v"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.report, "received USE_CONTEXT\nupdate_dir " + src_ +
                            "\nreceived INSTALL_UPDATES_RESPONSE\ninstalled\n");
    EXPECT_EQ(read_file(dst_ + "/a.avc"), "new a");
    EXPECT_EQ(read_file(dst_ + "/b.avc"), "new b");
    EXPECT_EQ(listing(dst_), (std::vector<std::string>{"a.avc", "b.avc"}));
    EXPECT_TRUE(contains(r.out, "installation request: 2 to place, 1 to remove, 1 up to date"));
    EXPECT_TRUE(contains(r.out, "  remove  " + dst_ + "/obsolete.avc"));
    EXPECT_TRUE(contains(r.out, "  current " + dst_ + "/same.avc"));
    EXPECT_TRUE(contains(r.out, "installed: 2 placed, 1 removed"));
    EXPECT_TRUE(contains(r.out, "tavik-update exited with status 0 (Success)"));
}

TEST_F(TavikRunTest, FailedCopyChangesNothingAndTheUpdaterGetsTheError) {
    // The kinds of copy failure are covered by the installer's own tests; this one follows
    // the error over the channel and back out as the exit status.
    const result_t r = run(install_script(src_ + "/b.avc", root_ + "/none/b.avc"));
    // The fake updater, like the real one, exits with the code of the error answer.
    EXPECT_EQ(r.status, 23);
    EXPECT_TRUE(contains(r.report, "error 23 Cannot copy")) << r.report;
    EXPECT_TRUE(contains(r.out, "installation failed: Cannot copy")) << r.out;
    EXPECT_TRUE(contains(r.out, "tavik-update exited with status 23 (No such file or directory)"))
        << r.out;
    expect_bases_untouched();
}

TEST_F(TavikRunTest, UnwritableDestinationDirectoryIsPermissionDenied) {
    const std::string locked = root_ + "/locked";
    ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
    // Root may write anywhere, so as root the run is made as an unprivileged account.
    const bool as_nobody = ::geteuid() == 0;
    if (as_nobody && !nobody_can_run({TAVIK_RUN, TAVIK_FAKE_UPDATER})) {
        GTEST_SKIP() << "the build folder is not reachable for an unprivileged account";
    }
    if (as_nobody) {
        ASSERT_EQ(::chown(dst_.c_str(), nobody, nobody), 0);
        ASSERT_EQ(::chmod((root_ + "/update.conf").c_str(), 0644), 0);
        const int fd = ::open((root_ + "/report").c_str(), O_WRONLY | O_CREAT, 0666);
        ASSERT_GE(fd, 0);
        ::fchown(fd, nobody, nobody);
        ::close(fd);
    }
    const result_t r =
        finish(start(install_script(src_ + "/b.avc", locked + "/b.avc"), {}, as_nobody));
    EXPECT_EQ(r.status, 24) << r.err;
    EXPECT_TRUE(contains(r.report, "error 24 Cannot copy")) << r.report;
    EXPECT_TRUE(contains(r.out, "tavik-update exited with status 24 (Permission denied)"));
    expect_bases_untouched();
    EXPECT_TRUE(listing(locked).empty());
}

TEST_F(TavikRunTest, DryRunAnswersSuccessAndInstallsNothing) {
    const result_t r = run(install_script(src_ + "/b.avc", dst_ + "/b.avc"), {"--dry-run"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.report, "installed\n"));
    EXPECT_TRUE(contains(r.out, "dry run: nothing installed"));
    expect_bases_untouched();
}

TEST_F(TavikRunTest, ExitStatusOfTheUpdaterIsPassedThrough) {
    const struct {
        int status;
        const char* line;
    } cases[] = {
        {0, "tavik-update exited with status 0 (Success)"},
        {1, "tavik-update exited with status 1 (Error on monitor channel)"},
        {94, "tavik-update exited with status 94 (No update servers available)"},
        {107, "tavik-update exited with status 107 (Process terminated by signal)"},
        {200, "tavik-update exited with status 200 (200)"},
    };
    for (const auto& c : cases) {
        const result_t r = run("exit " + std::to_string(c.status) + "\n");
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(contains(r.out, c.line)) << r.out;
    }
}

TEST_F(TavikRunTest, TerminationSignalsAreForwardedToTheUpdater) {
    const struct {
        int sig;
        const char* name;
    } cases[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink((root_ + "/report").c_str());
        const pid_t pid = start("wait-signal\n");
        ASSERT_TRUE(wait_for_report("ready"));
        ASSERT_EQ(::kill(pid, c.sig), 0);
        const result_t r = finish(pid);
        EXPECT_TRUE(contains(r.report, "signal " + std::to_string(c.sig))) << r.report;
        EXPECT_EQ(r.status, 107);
        EXPECT_TRUE(contains(r.err, std::string("forwarding ") + c.name + " to tavik-update"));
    }
}

TEST_F(TavikRunTest, TimeLimitStopsAnUpdaterThatDoesNotEnd) {
    const result_t r = run("wait-signal\n", {"--timeout", "1"});
    EXPECT_TRUE(contains(r.report, "signal " + std::to_string(SIGTERM))) << r.report;
    EXPECT_EQ(r.status, 107);
    EXPECT_TRUE(contains(r.err, "no end after 1 s, stopping tavik-update")) << r.err;
}

TEST_F(TavikRunTest, UpdaterThatDiesEndsTheRunWithoutHanging) {
    const result_t r = run("check 100 10\ndie\n");
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_TRUE(contains(r.out, "tavik-update was killed by signal 9")) << r.out;
}

TEST_F(TavikRunTest, UpdaterThatEndsWhileAnotherProcessHoldsItsSocketEndsTheRun) {
    const result_t r = run("stat 1 2\norphan 5\n");
    std::istringstream report(r.report.substr(r.report.find("orphan ")));
    std::string word;
    pid_t orphan = 0;
    report >> word >> orphan;
    if (orphan > 0) ::kill(orphan, SIGKILL);
    EXPECT_EQ(r.status, 5);
    EXPECT_TRUE(contains(r.out, "network: sent 1 B, received 2 B")) << r.out;
    EXPECT_TRUE(contains(r.out, "tavik-update exited with status 5 ")) << r.out;
}

TEST_F(TavikRunTest, BadFrameFromTheUpdaterClosesTheChannel) {
    const result_t r = run("bad-frame\nwait-eof\n");
    EXPECT_TRUE(contains(r.err, "invalid control frame length 0")) << r.err;
    EXPECT_TRUE(contains(r.report, "eof")) << r.report;
    EXPECT_EQ(r.status, 1);
}

TEST_F(TavikRunTest, ProgressAndNetworkTrafficAreShown) {
    const result_t r = run("check 1000 500\ndownload 2 1 2048 1024 daily.avc\nstat 10 2048\n"
                           "request\nexit 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "checking: 50% (500 B of 1000 B)\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "downloading: 50% (1.0 KiB of 2.0 KiB, 1 of 2 files), daily.avc"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "network: sent 10 B, received 2.0 KiB\n")) << r.out;
    // Progress comes before the request summary, not after it.
    EXPECT_LT(r.out.find("downloading"), r.out.find("installation request"));
}

TEST_F(TavikRunTest, UpdaterThatCannotBeStartedIsReported) {
    write_file(root_ + "/script", "");
    const std::string conf = root_ + "/update.conf";
    const std::string missing = root_ + "/no-such-updater";
    const std::string command = std::string(TAVIK_RUN) + " --updater " + missing + " " + conf +
                                " >" + root_ + "/stdout 2>" + root_ + "/stderr";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 23);
    EXPECT_TRUE(contains(read_file(root_ + "/stderr"), "cannot start " + missing));
}

TEST_F(TavikRunTest, ConfigurationThatDoesNotParseIsRefusedBeforeStarting) {
    write_file(root_ + "/update.conf", "update_dir: \"/x\"\nno_such_field: 1\n");
    const result_t r = run("exit 0\n");
    EXPECT_EQ(r.status, 102);
    EXPECT_TRUE(contains(r.err, root_ + "/update.conf:2:")) << r.err;
    EXPECT_FALSE(exists(root_ + "/report"));  // the updater never ran
}

}  // namespace
