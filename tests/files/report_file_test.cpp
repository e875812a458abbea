// The run report: what the updater writes reads back the same, and nothing else is taken for it.
#include "files/report_file.hpp"
#include "tests/support/support.hpp"

namespace {

TEST(report_file, what_the_updater_writes_reads_back_and_anything_else_is_refused) {
    upd::report_file_t r;
    r.status = 94, r.text = "No update servers available", r.dry_run = true, r.duration_ms = 12, r.received = 345;
    r.zones = {{"BASE", "http://m.test/a b/", "0042", "20261220000000", true, 1, 2, 3}, {"NRD", "", "", "", false, 0, 0, 0}};
    for (const bool check : {false, true}) {  // a check's zones carry what a run would cost
        r.check = check, r.zones[0].pending = 4, r.zones[0].pending_bytes = 5000, r.zones[0].patched_bytes = 600;
        const std::string text = r.format();
        EXPECT_EQ(upd::report_file_t::parse(text.data(), text.data() + text.size()).format(), text);
        EXPECT_EQ(text.find(" pending=4 pending_bytes=5000 patched_bytes=600 server=") != std::string::npos, check);
    }
    for (const std::string bad : {"text t\n", "status 1x\n", "status 1\nzone BASE placed=1 removed=2 kept=3 stamp=1a expires= expired=0 server=u\n",
                                  "status 1\nzone BASE placed=1 removed=2 kept=3 stamp=1\n", "status 1\ncolour 1\n", "status 1\ndry_run 2\n",
                                  "status 1\ncheck 1\nzone BASE placed=0 removed=0 kept=0 stamp=1 expires= expired=0 server=u\n"})
        EXPECT_THROW(upd::report_file_t::parse(bad.data(), bad.data() + bad.size()), std::runtime_error) << bad;
}

}  // namespace
