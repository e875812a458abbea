// End-to-end run through squid with Digest authentication to the HTTPS origin.
#include "engine_rig.hpp"

#include <gtest/gtest.h>

namespace {

namespace fs = boost::filesystem;

TEST(engine_proxy, digest_proxy_to_https_origin_end_to_end) {
    tvk_test::temp_dir_t scratch("tavik-proxy");
    tvk_test::nginx_server_t nginx;
    tvk_test::squid_server_t squid(tvk_test::squid_server_t::auth_t::digest, "updater", "s3cret pass");
    const fs::path inst = scratch.path() / "install";
    const fs::path var = scratch.path() / "var";
    fs::create_directories(inst / "bases");
    fs::create_directories(var);
    const std::map<std::string, std::string> files = {{"timestamp", "1\n"}, {"daily.avc", std::string(50000, 'd')}};
    rig::make_zone(scratch.path(), {files, {nginx.https_url("bases")}, {}, {}, {}}, nginx.root() / "bases");
    fs::copy_file(nginx.root() / "bases" / "update.drl", inst / "bases.drl");

    tvk::UpdateConfig c = rig::base_config(var);
    c.set_base_installed(true);
    c.set_base_update_enabled(true);
    c.set_base_drl_path((inst / "bases.drl").string());
    c.set_virus_base_dir((inst / "bases").string());
    *c.mutable_proxy() = squid.proxy("updater", "s3cret pass");

    const rig::attempt_t a = rig::run_attempt(c);
    ASSERT_EQ(a.status, 0) << a.log_text();
    EXPECT_EQ(a.request.to_place_size(), 3);  // timestamp, daily.avc and the zone's zone.ini
    EXPECT_EQ(tvk_test::read_file(var / "bases" / "daily.avc"), files.at("daily.avc"));
    bool tunnelled = false;
    for (const auto& entry : squid.access_log()) tunnelled |= entry.method == "CONNECT" && entry.user == "updater";
    EXPECT_TRUE(tunnelled);
    for (const auto& line : a.log) EXPECT_EQ(line.find("s3cret"), std::string::npos) << "password logged: " << line;
}

}  // namespace
