// End-to-end update runs: the real tavik-update against signed zones served by nginx.
#include "engine_rig.hpp"

#include <gtest/gtest.h>

#include <csignal>

namespace {

namespace fs = boost::filesystem;
using rig::attempt_t;
using rig::zone_spec_t;

class engine_update : public ::testing::Test {
protected:
    void SetUp() override {
        install_ = scratch_.path() / "install";
        var_ = scratch_.path() / "var";
        fs::create_directories(install_ / "bases");
        fs::create_directories(var_);
    }

    std::string url(const std::string& zone) const { return nginx_.http_url(zone); }

    // Publishes BASE and installs its DRL file where the configuration points.
    void publish_base(zone_spec_t layout) {
        if (layout.urls.empty()) layout.urls = {url("bases")};
        rig::make_zone(scratch_.path(), layout, nginx_.root() / "bases");
        fs::copy_file(nginx_.root() / "bases" / "update.drl", install_ / "bases.drl",
                      fs::copy_option::overwrite_if_exists);
        // The zone lists its own zone.ini; an installed copy is current.
        fs::copy_file(nginx_.root() / "bases" / "zone.ini", install_ / "bases" / "zone.ini",
                      fs::copy_option::overwrite_if_exists);
    }

    tvk::UpdateConfig base_config() const {
        tvk::UpdateConfig config = rig::base_config(var_);
        config.set_base_installed(true);
        config.set_base_update_enabled(true);
        config.set_base_drl_path((install_ / "bases.drl").string());
        config.set_virus_base_dir((install_ / "bases").string());
        return config;
    }

    std::string installed(const std::string& name) const { return (install_ / "bases" / name).string(); }
    std::string downloaded(const std::string& name) const { return (var_ / "bases" / name).string(); }

    std::size_t file_requests(const std::vector<tvk_test::nginx_server_t::access_t>& log) const {
        std::size_t n = 0;
        for (const auto& a : log) n += a.request.find("version.lst") == std::string::npos;
        return n;
    }

    tvk_test::temp_dir_t scratch_{"tavik-e2e"};
    tvk_test::nginx_server_t nginx_;
    fs::path install_;
    fs::path var_;
};

const std::map<std::string, std::string> published = {
    {"timestamp", "20261206\n"},
    {"current.avc", "signatures that did not change\n"},
    {"changed.avc", "signatures, new edition\n"},
    {"missing.avc", std::string(70000, 'm')},
};

TEST_F(engine_update, current_changed_missing_obsolete_and_unrelated_files_are_sorted_exactly) {
    publish_base({published, {}, {}, {"*.old"}, {}});
    rig::write(installed("current.avc"), published.at("current.avc"));
    rig::write(installed("changed.avc"), "signatures, old edition\n");
    rig::write(installed("retired.old"), "withdrawn\n");
    rig::write(installed("notes.txt"), "an administrator's notes\n");

    const attempt_t first = rig::run_attempt(base_config());
    ASSERT_EQ(first.status, 0) << first.log_text();
    ASSERT_TRUE(first.requested);
    EXPECT_EQ(first.placed_sources(),
              (std::vector<std::string>{downloaded("timestamp"), downloaded("changed.avc"), downloaded("missing.avc")}));
    EXPECT_EQ(first.placed_destinations(),
              (std::vector<std::string>{installed("timestamp"), installed("changed.avc"), installed("missing.avc")}));
    EXPECT_EQ(first.removed(), (std::set<std::string>{installed("retired.old")}));
    // The zone's own DRL file and zone.ini are listed too and mapped to their installed places.
    EXPECT_EQ(first.up_to_date(), (std::set<std::string>{(install_ / "bases.drl").string(), installed("current.avc"),
                                                          installed("zone.ini")}));
    EXPECT_TRUE(first.logged("Debug: Skip \"" + installed("notes.txt") + "\""));
    EXPECT_TRUE(first.logged("Notice: Exit with status 0 (Success)"));
    for (const char* name : {"timestamp", "changed.avc", "missing.avc"}) {
        EXPECT_EQ(tvk_test::read_file(downloaded(name)), published.at(name)) << name;
        EXPECT_FALSE(fs::exists(downloaded(name) + ".lzma")) << "temporary container left: " << name;
    }
    // The timestamp is only ever fetched plain; the other files come packed.
    const auto requests = nginx_.access_log();
    for (const auto& a : requests) EXPECT_EQ(a.request.find("timestamp.lzma"), std::string::npos) << a.request;

    // The daemon stand-in installs what was fetched; installed files now match the server.
    std::string output;
    ASSERT_EQ(rig::run_installer(scratch_.path(), base_config(), &output), 0) << output;
    for (const auto& f : published) EXPECT_EQ(tvk_test::read_file(installed(f.first)), f.second) << f.first;
    EXPECT_FALSE(fs::exists(installed("retired.old")));
    EXPECT_EQ(tvk_test::read_file(installed("notes.txt")), "an administrator's notes\n");

    // Files changed in the current second are not cached; let the installation's second pass.
    rig::wait_next_second();
    // Nothing changed on the server: nothing is downloaded and every file is up to date.
    const std::size_t before = nginx_.access_log().size();
    const attempt_t again = rig::run_attempt(base_config());
    ASSERT_EQ(again.status, 0);
    EXPECT_EQ(again.request.to_place_size(), 0);
    EXPECT_TRUE(again.removed().empty());
    EXPECT_EQ(again.up_to_date(),
              (std::set<std::string>{installed("timestamp"), installed("current.avc"), installed("changed.avc"),
                                     installed("missing.avc"), installed("zone.ini"), (install_ / "bases.drl").string()}));
    const auto log = nginx_.access_log();
    EXPECT_EQ(file_requests(std::vector<tvk_test::nginx_server_t::access_t>(log.begin() + before, log.end())), 0u);

    // The hash cache covers every installed file now: a further run reads none of them.
    const attempt_t cached = rig::run_attempt(base_config());
    ASSERT_EQ(cached.status, 0);
    ASSERT_FALSE(cached.checks.empty());
    EXPECT_EQ(cached.checks.back().bytes_to_check(), 0u);
    EXPECT_TRUE(cached.logged_prefix("Debug: Checker: "));
    EXPECT_FALSE(cached.logged("Debug: Checker: no cache"));
    std::size_t records = 0;
    EXPECT_TRUE(rig::cache_is_valid(var_, &records));
    EXPECT_GE(records, 4u);
}

TEST_F(engine_update, server_with_only_plain_files_serves_the_plain_list_and_files) {
    publish_base({published, {}, {}, {}, {"--plain-only"}});
    const attempt_t a = rig::run_attempt(base_config());
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.request.to_place_size(), 4);
    EXPECT_FALSE(a.logged_prefix("Debug: Download LST: "));
    EXPECT_TRUE(a.logged_prefix("Debug: Downloaded version.lst ("));
    EXPECT_TRUE(a.logged_prefix("Debug: Download lzma: "));
    for (const char* name : {"changed.avc", "missing.avc"}) EXPECT_EQ(tvk_test::read_file(downloaded(name)), published.at(name));
}

TEST_F(engine_update, corrupt_packed_list_falls_back_to_the_plain_list) {
    publish_base({published, {}, {}, {}, {}});
    rig::write(nginx_.root() / "bases" / "version.lst.lzma", "this is not a container at all");
    const attempt_t a = rig::run_attempt(base_config());
    ASSERT_EQ(a.status, 0);
    EXPECT_TRUE(a.logged_prefix("Debug: Downloaded version.lst ("));
    EXPECT_EQ(a.request.to_place_size(), 4);
}

TEST_F(engine_update, forged_file_list_fails_the_zone_and_installs_nothing) {
    publish_base({published, {}, {}, {}, {"--plain-only"}});
    fs::path lst = nginx_.root() / "bases" / "version.lst";
    std::string text = tvk_test::read_file(lst);
    const auto at = text.find("missing.avc, ");
    ASSERT_NE(at, std::string::npos);
    text[at + 13] = text[at + 13] == 'a' ? 'b' : 'a';  // one digit of a digest
    tvk_test::write_file(lst, text);
    const attempt_t a = rig::run_attempt(base_config());
    EXPECT_EQ(a.status, tvk::EC_BAD_LST_FILE);
    EXPECT_TRUE(a.logged("Error: Zone BASE: Invalid LST-file signature"));
    EXPECT_FALSE(a.requested);
    EXPECT_FALSE(fs::exists(downloaded("missing.avc")));
}

TEST_F(engine_update, excluded_patterns_are_neither_downloaded_nor_reported) {
    publish_base({published, {}, {}, {}, {}});
    tvk::UpdateConfig config = base_config();
    config.mutable_excluded_files()->add_item("missing.*");
    const attempt_t a = rig::run_attempt(config);
    ASSERT_EQ(a.status, 0);
    EXPECT_TRUE(a.logged("Debug: Excluded: missing.avc"));
    for (const auto& d : a.placed_destinations()) EXPECT_EQ(d.find("missing.avc"), std::string::npos);
    EXPECT_FALSE(fs::exists(downloaded("missing.avc")));
}

TEST_F(engine_update, refused_installation_ends_with_the_daemons_code) {
    publish_base({published, {}, {}, {}, {}});
    const attempt_t a = rig::run_attempt(base_config(), rig::answer_t::refuse, tvk::EC_READ_ONLY_FS);
    EXPECT_EQ(a.status, tvk::EC_READ_ONLY_FS);
    EXPECT_TRUE(a.logged("Error: Update installation: Read-only file system"));
}

TEST_F(engine_update, failed_copy_in_the_installer_leaves_the_installation_unchanged) {
    publish_base({published, {}, {}, {}, {}});
    rig::write(installed("changed.avc"), "signatures, old edition\n");
    // The engine file maps to a path whose directory is a plain file: its copy cannot be made.
    rig::write(install_ / "blocker", "not a directory\n");
    std::map<std::string, std::string> with_engine = published;
    with_engine["tavik32.dll"] = "engine, new build\n";
    publish_base({with_engine, {}, {}, {}, {}});
    tvk::UpdateConfig config = base_config();
    config.set_core_engine_path((install_ / "blocker" / "tavik32.dll").string());
    std::string output;
    const int status = rig::run_installer(scratch_.path(), config, &output);
    EXPECT_NE(status, 0) << output;
    EXPECT_EQ(tvk_test::read_file(installed("changed.avc")), "signatures, old edition\n");
    EXPECT_FALSE(fs::exists(installed("missing.avc")));
    for (fs::directory_iterator it(install_ / "bases"), end; it != end; ++it) {
        EXPECT_EQ(it->path().filename().string().find(".tavik-run."), std::string::npos) << it->path();
    }
}

TEST_F(engine_update, termination_while_a_large_file_downloads_ends_with_107_and_keeps_a_valid_cache) {
    std::map<std::string, std::string> files = published;
    files["huge.avc"] = std::string(300u << 20, 'h');
    publish_base({files, {}, {}, {}, {"--plain-only"}});
    rig::write(installed("current.avc"), published.at("current.avc"));
    bool signalled = false;
    const attempt_t a = rig::run_attempt(base_config(), rig::answer_t::success, tvk::EC_OK,
                                         [&](rig::update_process_t& peer, const tvk::Update2ConfigdMessage& m) {
                                             if (!signalled && m.has_download() &&
                                                 m.download().current_file() == "huge.avc") {
                                                 signalled = true;
                                                 peer.kill(SIGTERM);
                                             }
                                         });
    ASSERT_TRUE(signalled);
    EXPECT_EQ(a.status, tvk::EC_APP_TERMINATED);
    EXPECT_TRUE(a.logged("Notice: Termination signal received, exiting..."));
    EXPECT_TRUE(a.logged("Debug: Shutting down worker thread..."));
    EXPECT_TRUE(a.logged("Notice: Exit with status 107 (Process terminated by signal)"));
    EXPECT_FALSE(a.requested);
    EXPECT_TRUE(rig::cache_is_valid(var_));
    // A download cut short is removed; only a complete, verified file may stay.
    if (fs::exists(downloaded("huge.avc"))) {
        EXPECT_EQ(fs::file_size(downloaded("huge.avc")), files["huge.avc"].size());
    }
}

}  // namespace
