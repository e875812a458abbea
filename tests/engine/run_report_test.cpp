// What a report keeps across attempts: each zone's last success, which only a real run that ended 0 sets.
#include "engine/run_report.hpp"
#include "tests/support/support.hpp"

namespace {

TEST(run_report, only_a_real_success_sets_a_zones_last_success) {
    upd::report_file_t before;
    before.zones = {{"BASE", "http://m/", "7", "", false, 1, 0, 0}, {"NRD", "http://n/", "3", "", true, 0, 0, 0}};
    before.zones[0].last_success = 100, before.zones[1].last_success = 50;
    const struct {
        const char* attempt;
        int status;
        bool dry_run, check;
        std::vector<std::string> zones;  // the zones it reached
        std::string expected;            // zone=last_success, each zone of the new report
    } rows[] = {
        {"a success", 0, false, false, {"BASE"}, "BASE=900 "},
        {"a failure keeps the zones it never reached", 94, false, false, {"BASE"}, "BASE=100 NRD=50/3 "},
        {"a failure before any zone", 1, false, false, {}, "BASE=100/7 NRD=50/3 "},
        {"a dry run", 0, true, false, {"BASE"}, "BASE=100 NRD=50/3 "},
        {"a check", 0, false, true, {"VERSION"}, "VERSION=0 BASE=100/7 NRD=50/3 "},
    };
    for (const auto& r : rows) {
        upd::report_file_t now;
        now.status = r.status, now.dry_run = r.dry_run, now.check = r.check;
        for (const std::string& zone : r.zones) now.zones.push_back({zone, "http://new/", "8", "", false, 2, 0, 0});
        upd::run_report_t::keep_successes(now, before, 900);
        std::string got;  // a zone carried over keeps its last list's stamp
        for (const auto& z : now.zones)
            got += z.name + "=" + std::to_string(z.last_success) +
                   (z.stamp == "8" || z.stamp.empty() ? "" : "/" + z.stamp) + " ";
        EXPECT_EQ(got, r.expected) << r.attempt;
    }
}

}  // namespace
