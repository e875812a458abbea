// tavik-sign make-zone as a publisher meets it: what it refuses, and the stamps of its lists.
#include "tests/support/support.hpp"
#include "tools/tavik-sign/make_zone.hpp"

namespace {

TEST(make_zone, each_list_is_stamped_above_the_last_one_published_in_the_folder) {
    ts::scratch_t dir;
    ts::spit(dir / "files" / "a.avc", "a");
    sign::zone_options_t o;
    o.key = TAVIK_SOURCE_DIR "/keys/development.key", o.files = (dir / "files").string(), o.out = (dir / "out").string(), o.urls = {"http://m.test/b"};
    const std::string not_above = " is not above 5, the stamp of the list in \"" + o.out + "\" (to go back, remove that tree first)";
    const std::pair<std::string, std::string> rows[] = {  // "": the UTC time, to the second
        {"5", "ok"}, {"5", "the stamp 5" + not_above}, {"0004", "the stamp 0004" + not_above}, {"6x", "the stamp \"6x\" must be 1 to 64 decimal digits"},
        {std::string(65, '9'), "the stamp \"" + std::string(65, '9') + "\" must be 1 to 64 decimal digits"}, {"", "ok"}};
    for (const auto& r : rows) {
        o.stamp = r.first;
        EXPECT_EQ(ts::outcome([&] { sign::make_zone(o); }), r.second == "ok" ? "ok" : "125 " + r.second) << r.first;
    }
    const std::string list = ts::slurp(dir / "out" / "version.lst");
    EXPECT_EQ(list.find("]\n", 18) - 19, 14u) << "to the second: " << list;
}

}  // namespace
