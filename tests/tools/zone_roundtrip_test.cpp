// A zone built by make-zone, served over HTTP on the loopback, brought onto disk by the real
// tavik-update with tavik-run playing the configuration daemon.
#include "files/ini.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_support::command_result_t;
using test_support::exists;
using test_support::quote;
using test_support::read_file;
using test_support::shell;
using test_support::write_file;

// Static files from a folder; the updater asks with the absolute URL in the request line.
const char server_script[] = R"(
import functools, http.server, sys, urllib.parse
class Handler(http.server.SimpleHTTPRequestHandler):
    def translate_path(self, path):
        return super().translate_path(urllib.parse.urlsplit(path).path)
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0),
                                         functools.partial(Handler, directory=sys.argv[1]))
print(server.server_address[1], flush=True)
server.serve_forever()
)";

class ZoneRoundTripTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (shell("python3 -c 'import http.server'").status != 0) {
            GTEST_SKIP() << "python3 is needed for the HTTP server";
        }
        char pattern[] = "/tmp/tavik-roundtrip-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        for (const char* dir : {"/files", "/server", "/inst"}) {
            ASSERT_EQ(::mkdir((root_ + dir).c_str(), 0755), 0);
        }
        write_file(root_ + "/files/daily.avc", std::string(20000, 'd'));
        std::string noise(150000, '\0');
        unsigned x = 12345;
        for (char& c : noise) c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
        write_file(root_ + "/files/main.avc", noise);
        write_file(root_ + "/files/timestamp", "1765000000\n");
        write_file(root_ + "/serve.py", server_script);
        start_server();
        const passwd* me = ::getpwuid(::geteuid());
        ASSERT_NE(me, nullptr);
        write_file(root_ + "/update.conf",
                   "log_level: LOG_LEVEL_DEBUG\nactual_log { type: STDERR }\n"
                   "run_as_user { name: \"" + std::string(me->pw_name) + "\" }\n"
                   "update_dir: \"" + root_ + "/work\"\nnetwork_timeout: 10000\n"
                   "base_installed: true\nbase_update_enabled: true\n"
                   "base_drl_path: \"" + root_ + "/inst/update.drl\"\n"
                   "core_engine_path: \"" + root_ + "/inst/tavik32.dll\"\n"
                   "virus_base_dir: \"" + root_ + "/inst/bases\"\n");
    }

    void TearDown() override {
        if (server_ > 0) {
            ::kill(server_, SIGTERM);
            ::waitpid(server_, nullptr, 0);
        }
        if (!root_.empty()) std::system(("rm -rf " + quote(root_)).c_str());
    }

    void install_old_files() {
        write_file(root_ + "/inst/bases/daily.avc", "old daily");
        write_file(root_ + "/inst/bases/old-1.avc", "obsolete");
        write_file(root_ + "/inst/bases/notes.txt", "not ours");
    }

    void start_server() {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        server_ = ::fork();
        if (server_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::execlp("python3", "python3", (root_ + "/serve.py").c_str(),
                     (root_ + "/server").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        char line[32] = {};
        std::size_t got = 0;
        while (got + 1 < sizeof line) {
            const ssize_t n = ::read(out[0], line + got, 1);
            if (n <= 0 || line[got] == '\n') break;
            ++got;
        }
        ::close(out[0]);
        port_ = std::atoi(line);
        ASSERT_GT(port_, 0) << "the HTTP server did not start";
    }

    command_result_t make_zone(const std::string& options) {
        const std::string base = "http://127.0.0.1:" + std::to_string(port_);
        return shell(std::string(TAVIK_SIGN) + " make-zone --key " +
                     quote(std::string(TAVIK_SOURCE_DIR) + "/keys/development.key") + " --files " +
                     quote(root_ + "/files") + " --out " + quote(root_ + "/server/base") +
                     " --url " + base + "/base/ --fallback " + base + "/fallback/ --pattern 'old-*' " +
                     options);
    }

    command_result_t run_update() {
        // The time limit turns an updater that never ends into a failure instead of a hang.
        return shell(std::string(TAVIK_RUN) + " --timeout 60 --updater " + quote(TAVIK_UPDATER) + " " +
                     quote(root_ + "/update.conf"));
    }

    std::string root_;
    pid_t server_ = -1;
    int port_ = 0;
};

TEST_F(ZoneRoundTripTest, UpdaterInstallsTheZoneAndFindsItCurrentAfterwards) {
    const struct {
        const char* name;
        const char* options;
    } cases[] = {
        {"packed files and list", ""},
        {"plain list, packed files", "--no-lzma-list"},
        {"plain files only", "--plain-only"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case starts from the same installation, work area and server.
        std::system(("rm -rf " + quote(root_ + "/server/base") + " " + quote(root_ + "/work") +
                     " " + quote(root_ + "/inst/bases") + " && mkdir " + quote(root_ + "/work") +
                     " " + quote(root_ + "/inst/bases")).c_str());
        install_old_files();
        const command_result_t zone = make_zone(c.options);
        ASSERT_EQ(zone.status, 0) << zone.out;
        write_file(root_ + "/inst/update.drl", read_file(root_ + "/server/base/update.drl"));

        const command_result_t first = run_update();
        ASSERT_EQ(first.status, 0) << first.out;
        EXPECT_NE(first.out.find("installation request: 4 to place, 1 to remove, 1 up to date"),
                  std::string::npos)
            << first.out;
        for (const char* name : {"daily.avc", "main.avc", "timestamp"}) {
            EXPECT_TRUE(read_file(root_ + "/inst/bases/" + name) ==
                        read_file(root_ + "/files/" + name))
                << name;
        }
        EXPECT_FALSE(exists(root_ + "/inst/bases/old-1.avc"));
        EXPECT_EQ(read_file(root_ + "/inst/bases/notes.txt"), "not ours");
        // The installed zone.ini is what a later fallback run reads.
        EXPECT_EQ(upd::ini::get_file(root_ + "/inst/bases/zone.ini"),
                  (std::vector<std::string>{"http://127.0.0.1:" + std::to_string(port_) +
                                            "/fallback/"}));

        const command_result_t second = run_update();
        EXPECT_EQ(second.status, 0) << second.out;
        EXPECT_NE(second.out.find("installation request: 0 to place, 0 to remove, 5 up to date"),
                  std::string::npos)
            << second.out;
    }
}

}  // namespace
