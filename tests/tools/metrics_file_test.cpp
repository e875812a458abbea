// The run's gauges for node_exporter: base units, a zone label escaped, nothing for what is not known.
#include "metrics_file.hpp"
#include "tests/support/support.hpp"

namespace {

TEST(metrics_file, gauges_with_what_is_not_known_left_out) {
    upd::report_file_t report;
    report.started = 1765170000, report.duration_ms = 1500, report.received = 42;
    report.zones = {{"BASE", "", "1", "20261220000000", false, 3, 1, 0},
                    {"a\"b\\c", "", "1", "", true, 0, 0, 0},
                    {"bad\nname", "", "", "", false, 0, 0, 0}};
    const tavik_run::run_facts_t facts{1, 9.5, 94, 7};
    const std::string text = tavik_run::metrics_text(facts, report, report),
                      none = tavik_run::metrics_text(facts, {}, {});
    for (const char* line :
         {"# TYPE tavik_update_last_run_start_timestamp_seconds gauge\n"
          "tavik_update_last_run_start_timestamp_seconds 1765170000\n",
          "\ntavik_update_last_run_duration_seconds 1.500\n", "\ntavik_update_last_run_received_bytes 42\n",
          "\ntavik_update_zone_list_expiry_timestamp_seconds{zone=\"BASE\"} 1797724800\n# HELP",
          "\ntavik_update_zone_list_expired{zone=\"a\\\"b\\\\c\"} 1\n",
          "\ntavik_update_zone_files_removed{zone=\"BASE\"} 1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_EQ(text.find("bad"), std::string::npos) << "a name that is no label value";
    EXPECT_EQ(none.find("zone"), std::string::npos) << none;
    EXPECT_NE(none.find("\ntavik_update_last_run_duration_seconds 9.500\n"), std::string::npos) << none;
}

}  // namespace
