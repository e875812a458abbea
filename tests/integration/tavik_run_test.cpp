// tavik-run on its manual page's example: a check and a dry run that leave nothing a real run would see,
// the JSON report, the lock, a quiet run, no log configured.
#include "support/servers.hpp"
#include "tests/support/updater_process.hpp"

#include <sys/file.h>

namespace {

namespace fs = ts::fs;

TEST(tavik_run, the_manual_pages_example_runs_and_a_dry_run_changes_nothing_a_real_run_sees) {
    ts::scratch_t dir;
    ts::nginx_t nginx;
    std::string conf = ts::slurp(TAVIK_SOURCE_DIR "/docs/update.conf.example");
    const auto replace = [&conf](const std::string& a, const std::string& b) { conf = ts::replace_all(conf, a, b); };
    replace("/opt/tavik", dir.path().string()), replace("name: \"tavik\"", "uid: " + std::to_string(::getuid()));
    for (const std::string zone : {"bases", "version"}) {  // lists that expire in an hour
        ts::make_zone({{{zone + ".avc", zone + "\n"}}, {nginx.http_url(zone)}, {}, {}, {"--valid-for", "1h"}},
                      nginx.root() / zone);
        ts::spit(dir / zone / "update.drl", ts::slurp(nginx.root() / zone / "update.drl"));
    }
    fs::create_directories(dir / "var" / "log"), ts::spit(dir / "update.conf", conf);
    const fs::path var = dir / "var" / "update", metrics = dir / "metrics" / "tavik-update.prom";
    fs::create_directories(metrics.parent_path());
    const std::uint16_t port = ts::free_port();
    ts::run({"prometheus-node-exporter", "--version"}, "prometheus-node-exporter");
    ts::child_process_t exporter(
        {"/usr/bin/prometheus-node-exporter", "--web.listen-address=127.0.0.1:" + std::to_string(port),
         "--collector.disable-defaults", "--collector.textfile",
         "--collector.textfile.directory=" + metrics.parent_path().string()},
        dir / "exporter.log", port);
    const auto scraped = [port](const std::string& series) {  // its value as node_exporter serves it
        const std::string text = ts::run({"curl", "-sf", "http://127.0.0.1:" + std::to_string(port) + "/metrics"});
        const std::size_t at = text.find("\n" + series + " "), from = at + series.size() + 2;
        return at == std::string::npos ? "none" : text.substr(from, text.find('\n', from) - from);
    };
    const auto run = [&](std::vector<std::string> args, int expected, std::vector<std::string> env = {}) {
        args.push_back((dir / "update.conf").string());
        ts::updater_t ran(ts::launch_t{args, nullptr, 7, RLIM_INFINITY, env, "tavik-run"});
        EXPECT_EQ(ran.wait_exit(), expected) << ran.out() << ran.err();
        return std::make_pair(ran.out(), ran.err());
    };
    const auto json = [](const std::pair<std::string, std::string>& ran) {  // the object alone on standard output
        EXPECT_TRUE(ran.first.front() == '{' && ran.first.find('\n') == ran.first.size() - 1) << ran.first;
        return ran.first;
    };
    ts::spit(var / "bases" / "gone.avc.part", "x");  // what is left of a file no longer listed: a run removes it
    const auto check =
        run({"--check", "--json"}, 95, {"TAVIK_TEST_CLOCK_SHIFT=7300"});  // as a run with the lists expired everywhere
    for (const char* part :
         {"{\"status\":95,\"report\":{\"status\":95,",
          ",\"to_place\":[\"bases.avc\",\"zone.ini\"],\"to_place_more\":0}", ",\"pending\":true,\"expired\":true}\n",
          " B to fetch\n  bases.avc\n  zone.ini\nVERSION: "})
        EXPECT_NE((json(check) + check.second).find(part), std::string::npos) << part << "\n"
                                                                              << check.first << check.second;
    EXPECT_EQ(ts::listing(var) + ts::listing(var / "bases"),
              "bases tavik-update.cache tavik-update.lock tavik-update.report gone.avc.part ");
    const auto dry = run({"--dry-run", "--json"}, 0);
    for (const char* part : {"\"report\":{\"status\":0,\"text\":\"Success\",\"dry_run\":true,",
                             ",\"zones\":[{\"zone\":\"BASE\",\"placed\":2,", "\"installed\":{\"dry_run\":true}}"})
        EXPECT_NE(json(dry).find(part), std::string::npos) << part << "\n" << dry.first;
    EXPECT_NE(dry.second.find("dry run: nothing installed"), std::string::npos) << dry.second;
    EXPECT_EQ(ts::listing(var), "bases tavik-update.cache tavik-update.lock tavik-update.report version ")
        << "no stamps, no servers";
    const int lock = ::open((var / "tavik-update.lock").c_str(),
                            O_RDWR | O_CLOEXEC);  // another run, as far as tavik-update can tell
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const auto locked = run({"--quiet"}, 2);
    EXPECT_EQ(locked.first + locked.second,
              "tavik-update exited with status 2 (Operation is already in progress)\ntavik-run: the log is \"" +
                  (dir / "var" / "log" / "update.log").string() + "\"\n");
    EXPECT_NE(ts::slurp(dir / "var" / "log" / "update.log").find("Error: Another run holds the lock on update_dir \""),
              std::string::npos);
    std::thread release([lock] { std::this_thread::sleep_for(std::chrono::milliseconds(500)), ::close(lock); });
    const auto real = run({"--quiet", "--wait", "30", "--metrics", metrics.string()}, 0);
    release.join();
    EXPECT_EQ(real.first + real.second, "") << "a quiet run that succeeds says nothing";
    EXPECT_EQ(scraped("tavik_update_last_run_status") + " " + scraped("tavik_update_zone_files_placed{zone=\"BASE\"}"),
              "0 2");
    EXPECT_EQ(ts::slurp(dir / "bases" / "bases.avc"), "bases\n");
    EXPECT_NE(json(run({"--check", "--json"}, 0)).find("\"installed\":null,\"pending\":false,\"expired\":false}"),
              std::string::npos);
    replace("actual_log { type: FILE", "# actual_log { type: FILE"), ts::spit(dir / "update.conf", conf);
    const auto plain = run({"--metrics", metrics.string()}, 0);
    const std::string success = scraped("tavik_update_zone_last_success_timestamp_seconds{zone=\"BASE\"}");
    EXPECT_LE(std::abs(std::strtod(success.c_str(), nullptr) - double(std::time(nullptr))), 60) << success;
    for (const char* part : {"tavik-run: the configuration names no log; tavik-update logs to standard error\n",
                             "\nNotice: Exit with status 0 (Success)\n"})
        EXPECT_NE(plain.second.find(part), std::string::npos) << part << "\n" << plain.second;
    EXPECT_NE(plain.first.find("\ndownloading: up to date\n"), std::string::npos) << plain.first;
    // A run that fails keeps the last success; a metrics file that cannot be written costs a warning.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // its own time would show
    run({"--metrics", metrics.string()}, 95, {"TAVIK_TEST_CLOCK_SHIFT=7300"});
    EXPECT_EQ(scraped("tavik_update_last_run_status") + " " + scraped("tavik_update_zone_list_expired{zone=\"BASE\"}"),
              "95 1");
    EXPECT_EQ(scraped("tavik_update_zone_last_success_timestamp_seconds{zone=\"BASE\"}"), success);
    EXPECT_NE(run({"--metrics", (dir / "none" / "m.prom").string()}, 0).second.find("tavik-run: warning: the metrics "),
              std::string::npos);
}

}  // namespace
