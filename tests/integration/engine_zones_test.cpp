// End-to-end runs over all four zones, their file mappings and the warnings for empty options.
#include "engine_rig.hpp"

#include <gtest/gtest.h>

namespace {

namespace fs = boost::filesystem;

TEST(engine_zones, all_four_zones_map_their_files_and_warn_about_empty_options) {
    tvk_test::temp_dir_t scratch("tavik-zones");
    tvk_test::nginx_server_t nginx;
    const fs::path inst = scratch.path() / "install";
    const fs::path var = scratch.path() / "var";
    for (const char* d : {"bases", "version", "nrd", "antispam"}) fs::create_directories(inst / d);
    fs::create_directories(var);

    const std::map<std::string, std::map<std::string, std::string>> zones = {
        {"bases", {{"daily.avc", "daily\n"}, {"tavik32.dll", "engine, new build\n"}}},
        {"version", {{"version.txt", "11.0.6\n"}}},
        {"nrd", {{"sites.nrd", "sites\n"}}},
        {"antispam", {{"libspam.so", "spam library\n"}, {"rules.dat", "rules\n"}}},
    };
    for (const auto& z : zones) {
        rig::make_zone(scratch.path(), {z.second, {nginx.http_url(z.first)}, {}, {}, {}}, nginx.root() / z.first);
        fs::copy_file(nginx.root() / z.first / "update.drl", inst / (z.first + ".drl"));
    }
    rig::write(inst / "tavik32.dll", "engine, old build\n");
    rig::write(inst / "antispam" / "libspam.so", "spam library\n");

    tvk::UpdateConfig c = rig::base_config(var);
    c.set_base_installed(true);
    c.set_base_update_enabled(true);
    c.set_base_drl_path((inst / "bases.drl").string());
    c.set_core_engine_path((inst / "tavik32.dll").string());
    c.set_virus_base_dir((inst / "bases").string());
    c.set_version_installed(true);
    c.set_version_update_enabled(true);
    c.set_version_drl_path((inst / "version.drl").string());
    c.set_version_dir((inst / "version").string());
    c.set_nrd_installed(true);
    c.set_nrd_update_enabled(true);
    c.set_nrd_drl_path((inst / "nrd.drl").string());  // nrd_dir left empty on purpose
    c.set_antispam_installed(true);
    c.set_antispam_update_enabled(true);
    c.set_antispam_drl_path((inst / "antispam.drl").string());
    c.set_antispam_core_path((inst / "antispam" / "libspam.so").string());
    c.set_antispam_core("libspam.so");

    const rig::attempt_t a = rig::run_attempt(c);
    ASSERT_EQ(a.status, 0) << a.log_text();
    for (const char* z : {"BASE", "VERSION", "NRD", "ANTISPAM"}) {
        EXPECT_TRUE(a.logged(std::string("Debug: Update from zone ") + z + " is planned")) << z;
    }
    EXPECT_TRUE(a.logged("Warning: Config option Root.NrdDir is empty"));
    // Each zone lists its update.drl and zone.ini: the DRL files are current where the configuration
    // points, zone.ini goes into the zone directory, and for ANTISPAM beside its DRL file.
    EXPECT_EQ(a.placed_destinations(),
              (std::vector<std::string>{(inst / "bases" / "daily.avc").string(), (inst / "tavik32.dll").string(),
                                        (inst / "bases" / "zone.ini").string(),
                                        (inst / "version" / "version.txt").string(),
                                        (inst / "version" / "zone.ini").string(), (inst / "zone.ini").string()}));
    EXPECT_EQ(a.up_to_date(),
              (std::set<std::string>{(inst / "antispam" / "libspam.so").string(), (inst / "bases.drl").string(),
                                     (inst / "version.drl").string(), (inst / "nrd.drl").string(),
                                     (inst / "antispam.drl").string()}));
    // Without a main directory NRD and ANTISPAM place nothing new.
    for (const auto& d : a.placed_destinations()) {
        EXPECT_EQ(d.find("rules.dat"), std::string::npos);
        EXPECT_EQ(d.find("sites.nrd"), std::string::npos);
    }

    // An installed but disabled zone takes part in nothing.
    c.set_version_update_enabled(false);
    c.set_antispam_core("");
    const rig::attempt_t b = rig::run_attempt(c, rig::answer_t::success);
    ASSERT_EQ(b.status, 0) << b.log_text();
    EXPECT_FALSE(b.logged("Debug: Update from zone VERSION is planned"));
    EXPECT_TRUE(b.logged("Warning: Config option AntispamCore name is empty"));
}

}  // namespace
