// End-to-end fallback: when every server of a zone fails, fresh DRL files come from zone.ini.
#include "engine_rig.hpp"

#include <gtest/gtest.h>

namespace {

namespace fs = boost::filesystem;
using rig::attempt_t;

class engine_fallback : public ::testing::Test {
protected:
    void SetUp() override {
        install_ = scratch_.path() / "install";
        var_ = scratch_.path() / "var";
        fs::create_directories(install_ / "bases");
        fs::create_directories(var_);
        dead_ = "http://127.0.0.1:" + std::to_string(tvk_test::free_port()) + "/bases";
        // The server tree that the fallback servers offer: a fresh, correctly signed DRL file.
        rig::make_zone(scratch_.path(), {{{"daily.avc", "daily\n"}}, {nginx_.http_url("bases")}, {}, {}, {}},
                       nginx_.root() / "bases");
    }

    // Installs a DRL file whose only server is dead and a zone.ini naming `fallbacks`.
    void install_zone(const std::vector<std::string>& fallbacks) {
        const fs::path made = scratch_.path() / "installed-zone";
        rig::make_zone(scratch_.path(), {{{"daily.avc", "daily\n"}}, {dead_}, fallbacks, {}, {}}, made);
        fs::copy_file(made / "update.drl", install_ / "update.drl", fs::copy_option::overwrite_if_exists);
        fs::copy_file(made / "zone.ini", install_ / "bases" / "zone.ini", fs::copy_option::overwrite_if_exists);
    }

    tvk::UpdateConfig config() const {
        tvk::UpdateConfig c = rig::base_config(var_);
        c.set_network_timeout(3000);
        c.set_base_installed(true);
        c.set_base_update_enabled(true);
        c.set_base_drl_path((install_ / "update.drl").string());
        c.set_virus_base_dir((install_ / "bases").string());
        return c;
    }

    tvk_test::temp_dir_t scratch_{"tavik-fallback"};
    tvk_test::nginx_server_t nginx_;
    fs::path install_;
    fs::path var_;
    std::string dead_;
};

TEST_F(engine_fallback, every_server_failing_fetches_a_fresh_drl_and_still_reports_the_first_failure) {
    install_zone({nginx_.http_url("bases")});
    const std::string before = tvk_test::read_file(install_ / "update.drl");
    const attempt_t a = rig::run_attempt(config());
    EXPECT_EQ(a.status, tvk::EC_NO_UPDATE_SERVERS) << a.log_text();
    EXPECT_TRUE(a.logged("Error: Zone BASE: No update servers available"));
    EXPECT_TRUE(a.logged_prefix("Debug: Download LST: "));
    EXPECT_TRUE(a.logged("Debug: Fallback update from zone BASE is started"));
    ASSERT_TRUE(a.requested);
    ASSERT_EQ(a.request.to_place_size(), 1);
    EXPECT_EQ(a.request.to_place(0).destination(), (install_ / "update.drl").string());
    EXPECT_EQ(a.request.to_place(0).source(), (var_ / "bases" / "update.drl").string());
    EXPECT_EQ(a.request.to_remove_size(), 0);
    EXPECT_EQ(a.request.up_to_date_size(), 0);
    EXPECT_EQ(tvk_test::read_file(var_ / "bases" / "update.drl"),
              tvk_test::read_file(nginx_.root() / "bases" / "update.drl"));
    // The installed file is the daemon's to replace; the updater never touches it.
    EXPECT_EQ(tvk_test::read_file(install_ / "update.drl"), before);
}

TEST_F(engine_fallback, a_fallback_that_finds_nothing_sends_no_request) {
    install_zone({dead_});
    const attempt_t a = rig::run_attempt(config());
    EXPECT_EQ(a.status, tvk::EC_NO_UPDATE_SERVERS);
    EXPECT_FALSE(a.requested);
    EXPECT_TRUE(a.logged("Error: Zone BASE: No update servers available"));
    EXPECT_FALSE(fs::exists(var_ / "bases" / "update.drl"));
}

TEST_F(engine_fallback, forged_zone_ini_is_refused_and_nothing_is_fetched) {
    install_zone({nginx_.http_url("bases")});
    fs::path ini = install_ / "bases" / "zone.ini";
    std::string text = tvk_test::read_file(ini);
    const auto at = text.find("127.0.0.1");
    ASSERT_NE(at, std::string::npos);
    text[at] = '9';  // points the fallback elsewhere without the key
    tvk_test::write_file(ini, text);
    const attempt_t a = rig::run_attempt(config());
    EXPECT_EQ(a.status, tvk::EC_NO_UPDATE_SERVERS);
    EXPECT_TRUE(a.logged("Error: Zone BASE (fallback): Invalid signature"));
    EXPECT_FALSE(a.requested);
}

TEST_F(engine_fallback, forged_drl_from_a_fallback_server_is_not_offered_for_installation) {
    install_zone({nginx_.http_url("bases")});
    fs::path served = nginx_.root() / "bases" / "update.drl";
    std::string text = tvk_test::read_file(served);
    text[text.find("url=") + 4] ^= 1;
    tvk_test::write_file(served, text);
    const attempt_t a = rig::run_attempt(config());
    EXPECT_EQ(a.status, tvk::EC_NO_UPDATE_SERVERS);
    EXPECT_FALSE(a.requested);
    EXPECT_TRUE(a.logged("Debug: Download update.drl: Invalid DRL-file signature"));
    EXPECT_FALSE(fs::exists(var_ / "bases" / "update.drl")) << "an unverified copy stayed in the download directory";
}

}  // namespace
