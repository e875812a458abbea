// The run report: read back as written; a check's names within bounds.
#include "files/report_file.hpp"
#include "tests/support/support.hpp"

namespace {

upd::report_file_t parsed(const std::string& text) {
    return upd::report_file_t::parse(text.data(), text.data() + text.size());
}

TEST(report_file, reads_back_what_it_writes) {
    upd::report_file_t r;
    r.status = 94, r.text = "No update servers available", r.dry_run = true, r.duration_ms = 12,
    r.received = UINT64_MAX, r.started = 1765170000;
    r.zones = {{"BASE", "http://m.test/a b/", "0042", "20261220000000", true, SIZE_MAX, 2, 3},
               {"NRD", "", "", "", false, 0, 0, 0}};
    for (const char* name : {"timestamp", "daily.avc", "a/b", "late.avc"})
        r.zones[0].add_to_place(name);        // from a/b on, a count
    for (const bool check : {false, true}) {  // a check's zones carry what a run would cost and place
        r.check = check, r.zones[0].pending = 4, r.zones[0].pending_bytes = UINT64_MAX, r.zones[0].patched_bytes = 600;
        r.zones[0].last_success = UINT64_MAX;
        const std::string text = r.format();
        EXPECT_EQ(parsed(text).format(), text);
        EXPECT_EQ(text.find(" pending=4 pending_bytes=18446744073709551615 patched_bytes=600 "
                            "to_place=timestamp,daily.avc to_place_more=2 server=") != std::string::npos,
                  check);
    }
    // A report written before the times were kept: they are not known.
    const upd::report_file_t old =
        parsed("status 0\nzone Z placed=1 removed=2 kept=3 stamp=1 expires= expired=0 server=u\n");
    EXPECT_EQ(old.started + old.zones.at(0).last_success, 0u);
    const std::string zone = "status 1\nzone Z placed=1 removed=2 kept=3 stamp=1",
                      check = "status 1\ncheck 1" + zone.substr(8) + " expires= expired=0 ";
    for (const std::string& bad : std::vector<std::string>{
             "text t\n", "status 1x\n", "status 1\ncolour 1\n", "status 1\ndry_run 2\n", zone + "\n",
             "status 1\nreceived 18446744073709551616\n", zone + "a expires= expired=0 server=u\n",
             zone + " expires= expired=2 server=u\n", zone + " expires= expired=0 last_success=x server=u\n",
             "status 1\nstarted -1\n", check + "server=u\n",
             check + "pending=1 pending_bytes=1 patched_bytes=1 to_place=a,/ to_place_more=0 server=u\n"})
        EXPECT_THROW(parsed(bad), std::runtime_error) << bad;
}

TEST(report_file, names_within_bounds) {
    // Names added to each of four zones, their length, how many named, whether one more is refused.
    const std::tuple<std::size_t, std::size_t, std::size_t, bool> rows[] = {
        {250, 8, 200, true}, {1000, 99, 81, false}, {1, 8191, 1, true}, {1, 8192, 0, false}};
    for (const auto& [added, length, named, one_more_refused] : rows) {
        upd::report_file_t r;
        upd::report_file_t::zone_t z;
        z.name = "BASE";
        for (std::size_t i = 0; i < added; ++i) z.add_to_place(std::string(length, 'x'));
        r.check = true, r.zones.assign(4, z);
        const std::string text = r.format(),
                          more = std::string(text).insert(text.find(" to_place_more="), named ? ",x" : "x");
        EXPECT_EQ(std::make_tuple(z.to_place.size(), z.to_place_more, ts::outcome([&] { parsed(more); }) != "ok"),
                  std::make_tuple(named, added - named, one_more_refused))
            << "names of " << length;
        EXPECT_TRUE(parsed(text).format() == text && text.size() < 4 * upd::report_file_t::max_names_bytes + 1024)
            << "four zones' names, read back";
    }
}

}  // namespace
