// Whole runs against zones on nginx: what a run fetches, reports, installs and caches; the fallback; stamps
// and expiry; all four zones through a proxy.
#include "support/servers.hpp"
#include "tests/support/updater_process.hpp"

#include <set>

namespace {

namespace fs = ts::fs;
using lines_t = std::vector<std::string>;

struct engine_update : ::testing::Test {
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

TEST_F(engine_update, a_run_then_later_runs_find_all_current) {
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
    for (const auto& r : nginx.access_log(50))  // changed.avc packs no smaller: the list says it is plain
        EXPECT_NE(r.status, 404) << r.request;
    // The check's progress, then the downloads'; the byte counts before the request.
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
        EXPECT_EQ(to_check == 0, run == 1) << "all cached in the third run";
    }
    EXPECT_EQ(nginx.access_log(9).size(), 9u)
        << "later runs fetch the list alone (the installer's, a file changed: the index too)";
}

TEST_F(engine_update, a_failed_run_installs_only_genuine_server_lists) {
    const std::string dead = "http://127.0.0.1:" + std::to_string(ts::free_port()) + "/bases";
    for (const bool genuine : {true, false}) {  // what the fallback server has as bases.drl
        fs::remove_all(var);
        publish("bases", {{{"a.avc", "a"}}, {dead}, {nginx.http_url("fresh")}, {}, {}});
        fs::copy_file(nginx.root() / "bases" / "zone.ini", in("zone.ini"), fs::copy_option::overwrite_if_exists);
        ts::make_zone({{{"b.avc", "b"}}, {nginx.http_url("elsewhere")}, {}, {}, {}}, dir / "fresh");
        const std::string fresh = ts::slurp(dir / "fresh" / "update.drl");
        ts::spit(nginx.root() / "fresh" / "bases.drl", genuine ? fresh : ts::forged(fresh, "url="));
        const ts::attempt_t a = ts::run_attempt(config());
        EXPECT_EQ(a.status, tvk::EC_NO_UPDATE_SERVERS) << "the first failure" << a.log.text();
        EXPECT_EQ(a.requested, genuine);
        EXPECT_EQ(a.placed(),
                  genuine ? lines_t{(install / "bases.drl").string() + " < " + dl("bases.drl")} : lines_t{});
        EXPECT_EQ(fs::exists(dl("bases.drl")) ? ts::slurp(dl("bases.drl")) : "-", genuine ? fresh : "-")
            << "an unverified list is removed";
        EXPECT_TRUE(a.log.has("Debug: Fallback update from zone BASE is started"));
    }
}

// The list rules as only a whole run shows them: a stamp recorded once installed, an older list that
// places nothing, a list expired everywhere installed all the same.
TEST_F(engine_update, stamps_older_and_expired_lists) {
    const fs::path stamps = var / "tavik-update.stamps";
    const struct {
        const char* name;
        const char* mirror;  // "old" offers stamp 5, "new" stamp 6; both valid for an hour
        std::string before;  // the stamps file ("-": none)
        ts::answer_t answer;
        int clock;  // how far this machine's clock is ahead
        int status;
        std::string after, warning;
    } rows[] = {
        {"first run", "new", "-", ts::answer_t::success, 0, 0, "BASE 6\n", ""},
        {"refused installation", "new", "-", ts::answer_t::refuse, 0, tvk::EC_PERMISSION_DENIED, "-", ""},
        {"only an older list", "old", "BASE 6\n", ts::answer_t::success, 0, tvk::EC_NO_UPDATE_SERVERS, "BASE 6\n",
         "Warning: Zone BASE: " + nginx.http_url("old") + " offers an older file list (5 < 6)"},
        {"expired everywhere", "new", "-", ts::answer_t::success, 7300, tvk::EC_UPDATE_EXPIRED, "BASE 6\n",
         "Warning: Zone BASE: no server has a list that has not expired; "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        for (const char* m : {"old", "new"})
            publish(m, {{{"daily.avc", m + std::string(" daily\n")}},
                        {nginx.http_url(r.mirror)},
                        {},
                        {},
                        {"--valid-for", "1h", "--stamp", *m == 'o' ? "5" : "6"}});
        fs::copy_file(nginx.root() / "new" / "update.drl", install / "bases.drl", fs::copy_option::overwrite_if_exists);
        fs::remove_all(var), fs::create_directories(var), fs::create_directories(install / "bases");
        if (r.before != "-") ts::spit(stamps, r.before);
        const ts::attempt_t a = ts::run_attempt(
            config(), {r.answer, {}, {}, RLIM_INFINITY, {"TAVIK_TEST_CLOCK_SHIFT=" + std::to_string(r.clock)}});
        EXPECT_EQ(a.status, r.status) << a.log.text();
        EXPECT_TRUE(r.warning.empty() ? !a.log.has_prefix("Warning: Zone") : a.log.has_prefix(r.warning)) << r.warning;
        EXPECT_EQ(fs::exists(stamps) ? ts::slurp(stamps) : "-", r.after);
        EXPECT_EQ(a.requested ? ts::slurp(dl("daily.avc")) : "-",
                  r.status == tvk::EC_NO_UPDATE_SERVERS ? "-" : "new daily\n")
            << "nothing older is ever placed";
    }
}

TEST_F(engine_update, four_zones_through_a_proxy_to_https) {
    const std::uint16_t refused = ts::free_port();
    ts::squid_t squid(ts::squid_t::auth_t::basic, refused);
    const std::map<std::string, std::map<std::string, std::string>> zones = {
        {"bases", {{"daily.avc", "daily\n"}, {"tavik32.dll", "engine, new build\n"}}},
        {"version", {{"version.txt", "11.0.6\n"}}},
        {"nrd", {{"sites.nrd", "sites\n"}}},
        {"antispam", {{"libspam.so", "spam library\n"}, {"rules.dat", "rules\n"}}},
    };
    // BASE's servers: one the proxy's rules refuse, one it cannot reach, and the good one.
    for (const auto& z : zones)
        publish(z.first,
                {z.second,
                 z.first != "bases" ? lines_t{nginx.https_url(z.first)}
                                    : lines_t{"https://127.0.0.1:" + std::to_string(refused) + "/bases",
                                              "https://127.0.0.1:" + std::to_string(ts::free_port()) + "/bases",
                                              nginx.https_url("bases")},
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
    *c.mutable_proxy() = squid.proxy();

    const ts::attempt_t a = ts::run_attempt(c);  // the servers in the listed order: the refused one first
    ASSERT_EQ(a.status, 0) << "a refused server costs nothing\n" << a.log.text();
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
    const auto proxied = squid.access_log(1);
    EXPECT_EQ(std::count_if(proxied.begin(), proxied.end(), [](const auto& t) { return t.status == 407; }), 1)
        << "connections share the proxy's one challenge";
    EXPECT_EQ(a.log.text().find("s3cret"), std::string::npos) << "the password is never logged";
    c.set_version_update_enabled(false), c.set_antispam_core("");
    const ts::attempt_t b = ts::run_attempt(c);
    EXPECT_FALSE(b.log.has("Debug: Update from zone VERSION is planned"));
    EXPECT_TRUE(b.log.has("Warning: Config option AntispamCore name is empty"));
}

}  // namespace

namespace {

// nginx offering h2: the whole zone over one connection, directly and through squid's tunnel; not
// offering it, or a build without HTTP/2, ALPN leaves HTTP/1.1 and the lanes as they were.
TEST_F(engine_update, a_zone_over_one_http2_connection_directly_and_through_a_tunnel) {
    ts::nginx_t h2("", true);
    ts::squid_t squid(ts::squid_t::auth_t::basic);
    std::map<std::string, std::string> files = {{"timestamp", "1\n"}};
    for (int i = 0; i < 40; ++i) files["f" + std::to_string(i) + ".avc"] = std::string(1000 + i, char('a' + i % 26));
    const struct {
        const char* name;
        ts::nginx_t& server;
        bool proxied;
    } rows[] = {{"direct", h2, false}, {"tunnel", h2, true}, {"h2 off", nginx, false}};
    std::map<const ts::nginx_t*, std::size_t> logged;
    for (const auto& r : rows) {
        const bool multiplexed = TAVIK_HTTP2 && &r.server == &h2;
        const std::string protocol = multiplexed ? "HTTP/2.0" : "HTTP/1.1";
        fs::remove_all(var), fs::remove_all(install);
        publish("bases", {files, {r.server.https_url("bases")}, {}, {}, {}});
        ts::make_zone({files, {r.server.https_url("bases")}, {}, {}, {}}, r.server.root() / "bases");
        tvk::UpdateConfig c = config();
        if (r.proxied) *c.mutable_proxy() = squid.proxy();
        const ts::attempt_t a = ts::run_attempt(c);
        ASSERT_EQ(a.status, 0) << r.name << "\n" << a.log.text();
        EXPECT_EQ(a.placed().size(), files.size() + 2) << r.name << ": and zone.ini and the server list";
        const std::size_t requests = a.placed().size();  // the file list, and each file but the server list
        const auto log = r.server.access_log(logged[&r.server] += requests);
        std::set<std::string> connections;
        for (auto it = log.end() - static_cast<std::ptrdiff_t>(requests); it != log.end(); ++it) {
            connections.insert(it->connection);
            EXPECT_EQ(it->request.substr(it->request.rfind(' ') + 1), protocol) << r.name << ": " << it->request;
        }
        EXPECT_TRUE(multiplexed ? connections.size() == 1 : connections.size() > 1)
            << r.name << ": " << connections.size() << " connections";
    }
    EXPECT_GT(squid.access_log(1).size(), 0u) << "the tunnel went through squid";
}

}  // namespace
