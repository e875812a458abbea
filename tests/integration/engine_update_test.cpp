// Whole runs of the real tavik-update against signed zones on nginx: what a run fetches, reports, gets
// installed and caches; machines sharing a caching proxy; the fallback; all four zones via a Digest proxy.
#include "framework/utc_time.hpp"

#include <atomic>
#include "support/servers.hpp"
#include "tests/support/updater_process.hpp"

namespace {

namespace fs = ts::fs;
using lines_t = std::vector<std::string>;

struct engine_update : ::testing::Test {
    // Publishes a zone on nginx and installs its DRL file as install/<name>.drl.
    void publish(const std::string& name, ts::zone_t zone) {
        if (zone.urls.empty()) zone.urls = {nginx.http_url(name)};
        ts::make_zone(zone, nginx.root() / name);
        fs::create_directories(install / name);
        fs::copy_file(nginx.root() / name / "update.drl", install / (name + ".drl"),
                      fs::copy_option::overwrite_if_exists);
    }
    tvk::UpdateConfig config() const { return ts::base_config(var, install / "bases.drl", install / "bases"); }
    std::string in(const std::string& name) const { return (install / "bases" / name).string(); }
    std::string dl(const std::string& name) const { return (var / "bases" / name).string(); }
    std::string placed(const std::string& name) const { return in(name) + " < " + dl(name); }

    ts::scratch_t dir{"tavik-e2e"};
    ts::nginx_t nginx;
    fs::path install = dir / "install", var = dir / "var";
};

TEST_F(engine_update, a_run_sorts_fetches_reports_and_caches_and_the_next_one_finds_everything_current) {
    const std::map<std::string, std::string> files = {{"timestamp", "20261206\n"},
                                                      {"current.avc", "same\n"},
                                                      {"changed.avc", "new edition\n"},
                                                      {"missing.avc", std::string(70000, 'm')},
                                                      {"skipped.avc", "excluded by the administrator\n"}};
    publish("bases", {files, {}, {}, {"*.old"}, {}});
    for (const auto& f : {std::make_pair("current.avc", "same\n"),
                          {"changed.avc", "old edition\n"},
                          {"retired.old", "withdrawn\n"},
                          {"skip-me.old", "excluded: an administrator's own copy\n"},
                          {"notes.txt", "an administrator's notes\n"}})
        ts::spit(in(f.first), f.second);  // skip-me.old: excluded, so never removed
    fs::copy_file(nginx.root() / "bases" / "zone.ini", in("zone.ini"));
    tvk::UpdateConfig c = config();
    c.mutable_excluded_files()->add_item("skip*");

    const ts::attempt_t a = ts::run_attempt(c);
    ASSERT_EQ(a.status, 0) << a.log.text();
    EXPECT_EQ(a.placed(), (lines_t{placed("timestamp"), placed("changed.avc"), placed("missing.avc")}));
    EXPECT_EQ(lines_t(a.request.to_remove().begin(), a.request.to_remove().end()), lines_t{in("retired.old")});
    EXPECT_EQ(lines_t(a.request.up_to_date().begin(), a.request.up_to_date().end()),
              (lines_t{(install / "bases.drl").string(), in("current.avc"), in("zone.ini")}));
    for (const char* line : {"Debug: Excluded: skipped.avc", "Notice: Downloaded missing.avc.lzma (", "Debug: Skip \""})
        EXPECT_TRUE(a.log.has_prefix(line)) << line;
    for (const char* name : {"timestamp", "changed.avc", "missing.avc"}) EXPECT_EQ(ts::slurp(dl(name)), files.at(name));
    EXPECT_EQ(ts::snapshot(var / "bases").size(), 3u) << "no container or excluded file left";
    lines_t requests;
    for (const auto& r : nginx.access_log(5))
        requests.push_back(ts::replace_all(r.request, nginx.http_url(""), "/"));  // asked directly, in absolute form
    std::sort(requests.begin() + 1, requests.end());  // the files travel side by side, in any order
    EXPECT_EQ(requests, (lines_t{"GET /bases/version.lst.lzma HTTP/1.1", "GET /bases/changed.avc.lzma HTTP/1.1",
                                 "GET /bases/missing.avc.lzma HTTP/1.1", "GET /bases/patches/index HTTP/1.1",
                                 "GET /bases/timestamp HTTP/1.1"}))
        << "the packed forms, the timestamp plain, nothing excluded";
    // Progress: the check first, then the downloads; the byte counts leave before the request.
    std::string kinds, check, download;
    for (const auto& m : a.messages) {
        const char kind = m.has_check() ? 'c' : m.has_download() ? 'd' : m.has_stat() ? 's' : 'r';
        if (kinds.empty() || kinds.back() != kind) kinds += kind;
        check = m.has_check() ? m.check().ShortDebugString() : check,
        download = m.has_download() ? m.download().ShortDebugString() : download;
    }
    EXPECT_EQ(kinds.front() + kinds.substr(kinds.size() - 2), "csr") << kinds;
    const auto installed =
        std::to_string(5 + 12 + fs::file_size(in("zone.ini")) + fs::file_size(install / "bases.drl"));
    EXPECT_EQ(check, "bytes_to_check: " + installed + " bytes_checked: " + installed) << "every installed file once";
    EXPECT_EQ(download, "files_to_process: 3 files_processed: 3 bytes_to_process: 70021 bytes_processed: 70021");

    std::string output;
    ASSERT_EQ(ts::run_installer(c, output), 0) << output;
    EXPECT_FALSE(fs::exists(in("retired.old")));
    EXPECT_EQ(ts::slurp(in("notes.txt")), "an administrator's notes\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // files changed this second are not cached

    for (int run = 0; run < 2; ++run) {
        const ts::attempt_t again = ts::run_attempt(c);
        ASSERT_EQ(again.status, 0) << again.log.text();
        EXPECT_EQ(again.request.to_place_size() + again.request.to_remove_size(), 0);
        EXPECT_EQ(again.request.up_to_date_size(), 6);
        std::uint32_t to_check = 0;
        for (const auto& m : again.messages) to_check = m.has_check() ? m.check().bytes_to_check() : to_check;
        EXPECT_EQ(to_check == 0, run == 1) << "the cache covers every file in the third run";
    }
    EXPECT_EQ(nginx.access_log(9).size(), 9u) << "later runs fetch the list and nothing else (the installer's, with an "
                                                 "installed file changed, the index too)";
}

TEST_F(engine_update, machines_behind_a_caching_proxy_share_each_download_and_all_get_a_change) {
    ts::squid_t squid(ts::squid_t::auth_t::basic, "updater", "s3cret pass", 0, true);
    std::map<std::string, std::string> files = {{"timestamp", "1\n"}, {"daily.avc", std::string(70000, 'd')}}, results;
    std::string once = "TCP_MISS TCP_REFRESH_UNMODIFIED ",
                twice = once + "TCP_REFRESH_MODIFIED TCP_REFRESH_UNMODIFIED ", denied = "TCP_DENIED ", output;
    ts::spit(dir / "v1" / "daily.avc", files["daily.avc"]);
    for (const std::string daily :
         {"", "changed"}) {  // the second, a second later (new validators), changes daily.avc, with a patch
        std::this_thread::sleep_for(std::chrono::milliseconds(1100)), files["daily.avc"] += daily,
            publish("bases", {files, {}, {}, {}, {"--previous", (dir / "v1").string()}});
        for (tvk::UpdateConfig c : {config(), ts::base_config(dir / "two", install / "bases.drl",
                                                              dir / "two" / "bases")}) {  // one machine, then another
            *c.mutable_proxy() = squid.proxy("updater", "s3cret pass"), fs::create_directories(c.virus_base_dir());
            ASSERT_EQ(ts::run_installer(c, output), 0) << output;
            for (const auto& f : files)
                EXPECT_TRUE(ts::slurp(fs::path(c.virus_base_dir()) / f.first) == f.second)
                    << c.virus_base_dir() << f.first;
        }
    }
    for (const auto& r : squid.access_log(20))
        results[r.status == 407                           ? "407"
                : r.url.find(".zst") != std::string::npos ? "a patch"
                                                          : fs::path(r.url).filename().string()] += r.result + " ";
    EXPECT_EQ(results, (decltype(results){{"timestamp", once},
                                          {"daily.avc.lzma", once},
                                          {"index", once},
                                          {"version.lst.lzma", twice},
                                          {"zone.ini.lzma", twice},
                                          {"a patch", "TCP_MISS TCP_MEM_HIT "},
                                          {"407", denied + denied + denied + denied}}))
        << "per file the first machine's request, then the other's: the cache asks the mirror each time (304), but for "
           "a patch; a challenge a run";
}

TEST_F(engine_update, a_failed_run_installs_fresh_server_lists_only_when_they_are_genuine) {
    const std::string dead = "http://127.0.0.1:" + std::to_string(ts::free_port()) + "/bases";
    const struct {
        const char* served;  // what the fallback server has as bases.drl: genuine, forged, nothing
        bool requested;
    } rows[] = {{"genuine", true}, {"forged", false}, {"", false}};
    for (const auto& r : rows) {
        fs::remove_all(var);
        publish("bases", {{{"a.avc", "a"}}, {dead}, {nginx.http_url("fresh")}, {}, {}});
        fs::copy_file(nginx.root() / "bases" / "zone.ini", in("zone.ini"), fs::copy_option::overwrite_if_exists);
        ts::make_zone({{{"b.avc", "b"}}, {nginx.http_url("elsewhere")}, {}, {}, {}}, dir / "fresh");
        fs::remove_all(nginx.root() / "fresh");
        const std::string fresh = ts::slurp(dir / "fresh" / "update.drl");
        if (*r.served) ts::spit(nginx.root() / "fresh" / "bases.drl", r.requested ? fresh : ts::forged(fresh, "url="));
        const ts::attempt_t a = ts::run_attempt(config());
        EXPECT_EQ(a.status, tvk::EC_NO_UPDATE_SERVERS) << "the first failure" << a.log.text();
        EXPECT_EQ(a.requested, r.requested);
        EXPECT_EQ(a.placed(),
                  r.requested ? lines_t{(install / "bases.drl").string() + " < " + dl("bases.drl")} : lines_t{});
        EXPECT_EQ(fs::exists(dl("bases.drl")) ? ts::slurp(dl("bases.drl")) : "-", r.requested ? fresh : "-")
            << "an unverified list is removed";
        EXPECT_TRUE(a.log.has("Debug: Fallback update from zone BASE is started"));
    }
}

TEST_F(engine_update, a_mirror_with_an_older_list_is_skipped_and_never_followed_back) {
    const std::string older = "99999999999999999999", newer = "0100000000000000000000";  // by value, not by text
    const fs::path stamps = var / "tavik-update.stamps";
    const std::string recorded = "BASE " + newer + "\n", warning = "Warning: Zone BASE: " + nginx.http_url("old") +
                                                                   " offers an older file list (" + older + " < " +
                                                                   newer + ")";
    const struct {
        const char* name;
        lines_t mirrors;
        std::string before;  // the stamps file before the run ("-": none)
        ts::answer_t answer;
        int status;         // 94 when the older mirror was met and skipped
        std::string after;  // the stamps file after the run
    } rows[] = {
        {"a first run records the stamp", {"new"}, "-", ts::answer_t::success, 0, recorded},
        {"a refused installation records nothing", {"new"}, "-", ts::answer_t::refuse, tvk::EC_PERMISSION_DENIED, "-"},
        {"only older lists: nothing placed",
         {"old"},
         recorded,
         ts::answer_t::success,
         tvk::EC_NO_UPDATE_SERVERS,
         recorded},
        {"an equal stamp is taken", {"new"}, recorded, ts::answer_t::success, 0, recorded},
        {"a damaged stamps file protects nothing",
         {"old"},
         "BASE 12x\n",
         ts::answer_t::success,
         0,
         "BASE " + older + "\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        lines_t urls;
        for (const auto& m : r.mirrors) urls.push_back(nginx.http_url(m));
        for (const auto& m : {std::make_pair("old", older), std::make_pair("new", newer)})
            publish(m.first, {{{"daily.avc", m.first + std::string(" daily\n")}}, urls, {}, {}, {"--stamp", m.second}});
        fs::copy_file(nginx.root() / "new" / "update.drl", install / "bases.drl", fs::copy_option::overwrite_if_exists);
        fs::remove_all(var), fs::create_directories(var), fs::create_directories(install / "bases");
        if (r.before != "-") ts::spit(stamps, r.before);
        const ts::attempt_t a =
            ts::run_attempt(config(), {r.answer, {}, {}, RLIM_INFINITY, {}});  // the servers in the listed order
        EXPECT_EQ(a.status, r.status) << a.log.text();
        EXPECT_EQ(a.log.has(warning), r.status == tvk::EC_NO_UPDATE_SERVERS) << a.log.text();
        EXPECT_EQ(a.log.has_prefix("Warning: Stamps \"" + stamps.string() + "\": "), r.before == "BASE 12x\n");
        EXPECT_EQ(fs::exists(stamps) ? ts::slurp(stamps) : "-", r.after);
        EXPECT_EQ(a.requested, r.status != tvk::EC_NO_UPDATE_SERVERS) << "nothing older is ever placed";
        EXPECT_EQ(a.requested ? ts::slurp(dl("daily.avc")) : "", a.requested ? r.mirrors.back() + " daily\n" : "");
    }
}

// A client in a loop of runs while its one mirror republishes changed content: each publication
// switches the whole tree at once, and a run that read the list just before a switch starts over.
TEST_F(engine_update, runs_that_overlap_publications_never_meet_a_half_done_tree) {
    const auto zone = [&](int n) {  // every file changes; one request each, so that a run spans a while
        ts::zone_t z{{}, {nginx.http_url("bases")}, {}, {}, {"--stamp", std::to_string(n), "--plain-only"}};
        for (int i = 0; i < 40; ++i)
            z.files["f" + std::to_string(i) + ".avc"] = std::string(2000 + i, char('a' + n)) + std::to_string(n);
        return z;
    };
    publish("bases", zone(1));
    std::atomic<int> published{1};
    std::thread publisher([&] {
        for (int n = 2; n <= 5; ++n)
            std::this_thread::sleep_for(std::chrono::milliseconds(300)),
                ts::make_zone(zone(n), nginx.root() / "bases", false), ++published;
    });
    int runs = 0;
    for (; published < 5; ++runs) {
        fs::remove_all(var / "bases");  // every run fetches every file
        const ts::attempt_t a =
            ts::run_attempt(config(), {ts::answer_t::success, {}, {}, RLIM_INFINITY, {"TAVIK_DOWNLOAD_CONNECTIONS=1"}});
        EXPECT_EQ(a.status, 0) << "run " << runs << " after " << published << " publications\n" << a.log.text();
    }
    publisher.join();
    EXPECT_GE(runs, 4) << "the runs overlapped the publications";
}

TEST_F(engine_update, a_frozen_mirror_is_seen_and_when_all_are_the_newest_list_is_installed_with_status_95) {
    const std::string ahead = upd::utc_digits(std::time(nullptr) + 300 * 86400), m0 = nginx.http_url("m0");
    const struct {
        const char* name;
        std::vector<std::string> valid_for;  // a mirror each, listed in this order
        long long clock;                     // how far this machine's clock is ahead
        std::string stamp, recorded;         // the lists' stamp ("": now); the stamps file ("": none)
        int status;
        std::string warning;
    } rows[] = {
        {"fresh lists", {"14d", "14d"}, 0, "", "", 0, ""},
        {"expired on one of two",
         {"1h", "14d"},
         7300,
         "",
         "",
         0,
         "Warning: Zone BASE: " + m0 + "/version.lst.lzma: list expired on "},
        {"expired on every server",
         {"1h", "1h"},
         7300,
         "",
         "",
         tvk::EC_UPDATE_EXPIRED,
         "Warning: Zone BASE: no server has a list that has not expired; "},
        {"expired half an hour ago", {"1h"}, 5400, "", "", 0, ""},
        {"a stamp 300 days ahead", {"14d"}, 0, ahead, "", 0, ""},
        {"expired and older than installed",
         {"1h"},
         7300,
         "5",
         "BASE 6\n",
         tvk::EC_NO_UPDATE_SERVERS,
         "Warning: Zone BASE: " + m0 + " offers an older"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> urls;
        for (std::size_t i = 0; i < r.valid_for.size(); ++i) urls.push_back(nginx.http_url("m" + std::to_string(i)));
        for (std::size_t i = 0; i < urls.size(); ++i) {
            std::vector<std::string> options{"--valid-for", r.valid_for[i]};
            if (!r.stamp.empty()) options.insert(options.end(), {"--stamp", r.stamp});
            publish("m" + std::to_string(i), {{{"daily.avc", "daily\n"}}, urls, {}, {}, options});
        }
        fs::copy_file(nginx.root() / "m0" / "update.drl", install / "bases.drl", fs::copy_option::overwrite_if_exists);
        fs::remove_all(var), fs::create_directories(var), fs::create_directories(install / "bases");
        if (!r.recorded.empty()) ts::spit(var / "tavik-update.stamps", r.recorded);
        const ts::attempt_t a = ts::run_attempt(
            config(),
            {ts::answer_t::success, {}, {}, RLIM_INFINITY, {"TAVIK_TEST_CLOCK_SHIFT=" + std::to_string(r.clock)}});
        EXPECT_EQ(a.status, r.status) << a.log.text();
        EXPECT_TRUE(r.warning.empty() ? !a.log.has_prefix("Warning: Zone") : a.log.has_prefix(r.warning)) << r.warning;
        EXPECT_EQ(a.requested && a.placed().at(0) == placed("daily.avc"), r.status != tvk::EC_NO_UPDATE_SERVERS)
            << "an expired list is installed all the same";
    }
}

TEST_F(engine_update, all_four_zones_through_a_digest_proxy_to_https_past_servers_the_proxy_refuses) {
    const std::uint16_t refused = ts::free_port();
    ts::squid_t squid(ts::squid_t::auth_t::digest, "updater", "s3cret pass", refused);
    const std::map<std::string, std::map<std::string, std::string>> zones = {
        {"bases", {{"daily.avc", "daily\n"}, {"tavik32.dll", "engine, new build\n"}}},
        {"version", {{"version.txt", "11.0.6\n"}}},
        {"nrd", {{"sites.nrd", "sites\n"}}},
        {"antispam", {{"libspam.so", "spam library\n"}, {"rules.dat", "rules\n"}}},
    };
    for (const auto& z : zones) publish(z.first, {z.second, {nginx.https_url(z.first)}, {}, {}, {}});
    // BASE's servers: one the proxy's rules refuse, one it cannot reach, and the good one.
    publish("bases", {zones.at("bases"),
                      {"https://127.0.0.1:" + std::to_string(refused) + "/bases",
                       "https://127.0.0.1:" + std::to_string(ts::free_port()) + "/bases", nginx.https_url("bases")},
                      {},
                      {},
                      {}});
    ts::spit(install / "tavik32.dll", "engine, old build\n");
    ts::spit(install / "antispam" / "libspam.so", "spam library\n");
    tvk::UpdateConfig c = config();
    c.set_core_engine_path((install / "tavik32.dll").string());
    c.set_version_installed(true), c.set_version_update_enabled(true);
    c.set_version_drl_path((install / "version.drl").string()), c.set_version_dir((install / "version").string());
    c.set_nrd_installed(true), c.set_nrd_update_enabled(true), c.set_nrd_drl_path((install / "nrd.drl").string());
    c.set_antispam_installed(true), c.set_antispam_update_enabled(true),
        c.set_antispam_drl_path((install / "antispam.drl").string());
    c.set_antispam_core_path((install / "antispam" / "libspam.so").string()), c.set_antispam_core("libspam.so");
    *c.mutable_proxy() = squid.proxy("updater", "s3cret pass");

    const ts::attempt_t a = ts::run_attempt(c);  // the servers in the listed order: the refused one first
    ASSERT_EQ(a.status, 0) << "a refused server costs the proxy nothing\n" << a.log.text();
    EXPECT_TRUE(a.log.has_prefix("Debug: Download LST: Proxy refused the tunnel: "))
        << "403 by the rules, 503 when unreachable";
    for (const char* z : {"BASE", "VERSION", "NRD", "ANTISPAM"})
        EXPECT_TRUE(a.log.has(std::string("Debug: Update from zone ") + z + " is planned")) << z;
    EXPECT_TRUE(a.log.has("Warning: Config option Root.NrdDir is empty"));
    lines_t destinations;
    for (const auto& item : a.request.to_place()) destinations.push_back(item.destination());
    EXPECT_EQ(destinations, (lines_t{in("daily.avc"), (install / "tavik32.dll").string(), in("zone.ini"),
                                     (install / "version" / "version.txt").string(),
                                     (install / "version" / "zone.ini").string(), (install / "zone.ini").string()}));
    EXPECT_EQ(a.request.up_to_date_size(), 5);
    const auto tunnels = squid.access_log(1);
    EXPECT_GT(std::count_if(tunnels.begin(), tunnels.end(),
                            [](const auto& t) { return t.method == "CONNECT" && t.user == "updater"; }),
              0);
    EXPECT_EQ(a.log.text().find("s3cret"), std::string::npos) << "the password is never logged";
    c.set_version_update_enabled(false), c.set_antispam_core("");
    const ts::attempt_t b = ts::run_attempt(c);
    EXPECT_FALSE(b.log.has("Debug: Update from zone VERSION is planned"));
    EXPECT_TRUE(b.log.has("Warning: Config option AntispamCore name is empty"));
}

}  // namespace
