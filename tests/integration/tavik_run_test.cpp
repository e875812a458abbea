// tavik-run as an administrator meets it: the example configuration of its manual page, a dry run
// that leaves nothing behind that would change a real run, the report as JSON, a configuration that
// names no log, progress that ends "up to date".
#include "support/servers.hpp"

namespace {

namespace fs = ts::fs;

TEST(tavik_run, the_manual_pages_example_runs_and_a_dry_run_changes_nothing_a_real_run_sees) {
    ts::scratch_t dir;
    ts::nginx_t nginx;
    std::string conf = ts::slurp(TAVIK_SOURCE_DIR "/docs/update.conf.example");
    const auto replace = [&conf](const std::string& a, const std::string& b) { conf = ts::replace_all(conf, a, b); };
    replace("/opt/tavik", dir.path().string()), replace("name: \"tavik\"", "uid: " + std::to_string(::getuid()));
    for (const std::string zone : {"bases", "version"}) {
        ts::make_zone({{{zone + ".avc", zone + "\n"}}, {nginx.http_url(zone)}, {}, {}, {}}, nginx.root() / zone);
        ts::spit(dir / zone / "update.drl", ts::slurp(nginx.root() / zone / "update.drl"));
    }
    fs::create_directories(dir / "var" / "log"), ts::spit(dir / "update.conf", conf);
    const fs::path var = dir / "var" / "update";
    const auto run = [&](std::vector<std::string> args, int expected) {
        args.insert(args.begin(), (fs::path(TAVIK_BINARY_DIR) / "bin" / "tavik-run").string()), args.push_back((dir / "update.conf").string());
        int status = -1;
        const std::string out = ts::run(args, "", &status);
        EXPECT_EQ(status, expected) << out;
        return out;
    };
    const std::string dry = run({"--dry-run", "--json"}, 0);
    for (const char* part : {"dry run: nothing installed", "\"report\":{\"status\":0,\"text\":\"Success\",\"dry_run\":true,",
                             ",\"zones\":[{\"zone\":\"BASE\",\"placed\":2,", "\"server\":\"" , "\"installed\":{\"dry_run\":true}}"})
        EXPECT_NE(dry.find(part), std::string::npos) << part << "\n" << dry;
    EXPECT_EQ(ts::listing(var), "bases tavik-update.cache tavik-update.lock tavik-update.report version ") << "no stamps, no servers";
    const std::string real = run({"--json"}, 0);
    EXPECT_NE(real.find("\"installed\":{\"dry_run\":false,\"ok\":true,\"placed\":4,\"removed\":0}}"), std::string::npos) << real;
    EXPECT_EQ(ts::slurp(dir / "bases" / "bases.avc"), "bases\n");
    EXPECT_TRUE(fs::exists(var / "tavik-update.stamps"));
    EXPECT_NE(ts::slurp(dir / "var" / "log" / "update.log").find("Notice: Exit with status 0 (Success)"), std::string::npos);
    replace("actual_log { type: FILE", "# actual_log { type: FILE"), ts::spit(dir / "update.conf", conf);
    const std::string quiet = run({}, 0);
    for (const char* part : {"tavik-run: the configuration names no log; tavik-update logs to standard error\n", "\ndownloading: up to date\n",
                             "\nNotice: Exit with status 0 (Success)\n"})
        EXPECT_NE(quiet.find(part), std::string::npos) << part << "\n" << quiet;
    replace("uid: " + std::to_string(::getuid()), "name: \"no-such-account\""), ts::spit(dir / "update.conf", conf);
    const std::string refused = run({"--json"}, 102);  // before any download: the last run's report must not stand for it
    EXPECT_NE(refused.find("{\"status\":102,\"report\":{\"status\":102,"), std::string::npos) << refused;
}

}  // namespace
