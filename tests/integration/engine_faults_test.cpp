// Fault matrix of whole runs: each row breaks one thing (disk, work folder, cache, signed files,
// proxy, name, connection, server, signal, control channel), and every row then proves that
// nothing was lost: the installation is byte-identical, the work folder holds only complete and
// genuine downloads, and the hash cache is unchanged or true to the disk. Then a run whose
// downloads overlap.
#include "engine/updater.hpp"
#include "support/servers.hpp"
#include "tests/support/updater_process.hpp"

#include "upd_cache.pb.h"

#include <pwd.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sched.h>
#include <sys/mount.h>
#endif

namespace {

namespace fs = ts::fs;
using fault_t = ts::fault_server_t::fault_t;

const std::map<std::string, std::string> published = {{"timestamp", "20261206\n"},
                                                      {"current.avc", "unchanged\n"},
                                                      {"changed.avc", "new edition\n"},
                                                      {"missing.avc", std::string(70000, 'm')}};

enum class cache_t { written, untouched, sound };  // sound: untouched, or written and true to the disk

// One row's world: a zone on nginx or on a fault server, an installation, a configuration.
struct env_t {
    ts::scratch_t dir{"tavik-fault"};
    ts::nginx_t nginx;
    fs::path var = dir / "var", install = dir / "install", served, genuine = dir / "genuine";
    std::string url;  // of the zone's (first) server
    tvk::UpdateConfig config = ts::base_config(var, install / "bases.drl", install / "bases");
    ts::daemon_t daemon;
    std::map<std::string, std::string> files = published;
    std::vector<std::string> options;  // make-zone options
    bool mirrored = false;             // a second server, nginx, listed after the first
    std::unique_ptr<ts::fault_server_t> server;

    env_t() {
        fs::create_directories(var);
        ts::spit(install / "bases" / "current.avc", "unchanged\n");
        ts::spit(install / "bases" / "changed.avc", "old edition\n");
        config.set_network_timeout(5000);
        // The fallback servers hold a genuine, fresh list under the installed list's name.
        ts::make_zone({{{"timestamp", "1\n"}}, {nginx.http_url("fresh")}, {}, {}, {}}, dir / "fresh");
        ts::spit(nginx.root() / "fresh" / "bases.drl", ts::slurp(dir / "fresh" / "update.drl"));
    }
    // Signs the zone with `url` as its only server, installs its lists, and serves it from `root`.
    void publish(const std::string& first, const fs::path& root) {
        std::vector<std::string> urls{url = first};
        if (mirrored) urls.push_back(nginx.http_url("mirror"));
        ts::make_zone({files, urls, {nginx.http_url("fresh")}, {}, options}, genuine);
        for (const auto& f : ts::snapshot(genuine)) {
            ts::spit(root / fs::path(f.first).filename(), f.second);
            if (mirrored) ts::spit(nginx.root() / "mirror" / fs::path(f.first).filename(), f.second);
        }
        served = root;
        fs::copy_file(genuine / "update.drl", install / "bases.drl", fs::copy_option::overwrite_if_exists);
        fs::copy_file(genuine / "zone.ini", install / "bases" / "zone.ini", fs::copy_option::overwrite_if_exists);
        std::this_thread::sleep_for(std::chrono::milliseconds(1050));  // the installation predates the run
    }
    void on_nginx() { publish(nginx.http_url("bases"), nginx.root() / "bases"); }
    // A fault server that breaks every request for the files whose names begin with `prefix`.
    void on_fault(fault_t fault, const std::string& prefix = "missing.avc") {
        server.reset(new ts::fault_server_t(dir / "www", fault, prefix));
        publish(server->url("bases"), dir / "www" / "bases");
    }
    // The download folder on a disk of 64 KiB: a tmpfs in a mount namespace of this test process alone.
    void on_small_disk() {
#ifdef __linux__
        fs::create_directories(var / "bases");
        if (::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount("tmpfs", (var / "bases").c_str(), "tmpfs", 0, "size=64k") == 0)
            return (void)(small_disk = true);
#endif
        GTEST_SKIP() << "this row mounts a small disk, which takes root";
    }
    ~env_t() {
#ifdef __linux__
        if (small_disk) ::umount2((var / "bases").c_str(), MNT_DETACH);
#endif
    }
    bool small_disk = false;
    void as_nobody() {
        const passwd* pw = ::getpwnam("nobody");
        if (!pw || ::geteuid() != 0) GTEST_SKIP() << "this row drops from root to nobody";
        config.mutable_run_as_user()->set_uid(pw->pw_uid);
    }
    // Acts once, as soon as the fault server's fault has begun (a stall, for instance).
    void when_stalled(std::function<void(ts::updater_t&)> act) {
        auto done = std::make_shared<bool>(false);
        daemon.on_tick = [this, done, act](ts::updater_t& u) {
            if (!*done && server->faults() > 0) *done = true, act(u);
        };
    }
};

void flip(const fs::path& path, const std::string& near) { ts::spit(path, ts::forged(ts::slurp(path), near)); }

// Gives a listed file a digest of odd length, which decodes to nothing, and signs the list again.
void odd_digest(const fs::path& lst, const std::string& name) {
    std::string covered = ts::slurp(lst);
    covered.replace(covered.find("+" + name + ", ") + name.size() + 3, 64, "123");
    ts::spit(lst, ts::signed_text(covered.substr(0, covered.find("[TavikUpdateListEnd]\n") + 21),
                                  "\n[Signature]\nSignature=%s\n"));
}
void terminate(ts::updater_t& u) { u.kill(SIGTERM); }

struct row_t {
    const char* name;
    std::function<void(env_t&)> setup;
    int status;
    std::string line;  // "{var}", "{install}" and "{url}" expand; a final "*" matches a prefix
    cache_t cache;
    std::string absent = {};  // a log line prefix that must not appear (the fault hit before it)
};

const row_t rows[] = {
    // The run-as account at its process limit: the lane that started takes every file, or with none the run's own
    // connection.
    {"no_thread_for_a_second_download",
     [](env_t& e) { e.on_nginx(), e.daemon.environment = {"TAVIK_TEST_FAILING_LANE=2"}; }, 0,
     "Warning: Downloads: 1 of 3 connections started: *", cache_t::written},
    {"no_thread_for_any_download", [](env_t& e) { e.on_nginx(), e.daemon.environment = {"TAVIK_TEST_FAILING_LANE=1"}; },
     0, "Warning: Downloads: no connection started, one file after another: *", cache_t::written},
    {"disk_full_while_unpacking", [](env_t& e) { e.on_nginx(), e.daemon.file_size_limit = 65536; }, 125,
     "Error: write: File too large: \"{var}/bases/missing.avc\"", cache_t::written},
    // This machine's failure, named with the work folder; the part that filled the disk goes.
    {"disk_full_while_downloading", [](env_t& e) { e.options = {"--plain-only"}, e.on_nginx(), e.on_small_disk(); }, 22,
     "Error: update_dir: no space left: No space left on device: \"{var}\"", cache_t::written},
    {"disk_full_while_saving_the_cache",
     [](env_t& e) {
         e.files.erase("missing.avc");
         for (int i = 1000; i < 1100; ++i) {  // installed as listed
             const std::string name = "file-" + std::to_string(i) + ".avc";
             ts::spit(e.install / "bases" / name, e.files[name] = name);
         }
         e.on_nginx();
         e.daemon.file_size_limit = 4096;
         e.config.set_log_level(tvk::LOG_LEVEL_NOTICE);  // the log is bounded too
         upd::Cache previous;                            // which the failed save must leave as it was
         auto* r = previous.add_crcs();
         r->set_path("/gone"), r->set_dev(1), r->set_ino(1), r->set_ctime(1), r->set_sha256(std::string(32, 's')),
             r->set_md5("m");
         ts::spit(e.var / "tavik-update.cache", previous.SerializeAsString());
     },
     0, "Warning: Cache: \"{var}/tavik-update.cache\": serialization failed", cache_t::untouched},
    {"work_folder_read_only",
     [](env_t& e) {
         e.on_nginx(), e.as_nobody();
         fs::create_directories(e.var / "bases");
         fs::permissions(e.var / "bases", fs::perms(0555)), fs::permissions(e.var, fs::perms(0555));
     },
     24, "Error: lock: Permission denied: \"{var}/tavik-update.lock\"",
     cache_t::untouched},  // before anything is read or fetched
    {"lst_one_byte_changed",
     [](env_t& e) { e.options = {"--no-lzma-list"}, e.on_nginx(), flip(e.served / "version.lst", "changed.avc"); }, 91,
     "Error: Zone BASE: Invalid LST-file signature", cache_t::untouched},
    {"packed_lst_broken_falls_back_to_the_plain_list",
     [](env_t& e) {
         e.on_nginx();
         std::string packed = ts::slurp(e.served / "version.lst.lzma");
         packed[0] = '\xff';  // no decoder takes these properties
         ts::spit(e.served / "version.lst.lzma", packed);
     },
     0, "Debug: LzmaDecode: error=*", cache_t::written},
    {"drl_is_a_fifo",  // would block an open or a read forever
     [](env_t& e) {
         e.on_nginx(), fs::remove(e.install / "bases.drl"), ::mkfifo((e.install / "bases.drl").c_str(), 0644);
     },
     33, "Error: Zone BASE: open: Not a regular file: \"{install}/bases.drl\"", cache_t::untouched},
    {"missing_file_against_a_digest_of_no_bytes",  // never taken for current
     [](env_t& e) {
         e.files["tavik32.dll"] = "engine", e.options = {"--no-lzma-list"}, e.on_nginx();
         e.config.set_core_engine_path((e.install / "tavik32.dll").string()),
             odd_digest(e.served / "version.lst", "tavik32.dll");
     },
     98, "Error: SHA256: Invalid checksum: \"{var}/bases/tavik32.dll\"", cache_t::written},
    {"fifos_planted_in_the_work_folder",  // each would block its open, and SIGTERM with it
     [](env_t& e) {
         e.on_nginx();
         for (const char* name :
              {"tavik-update.cache", "tavik-update.cache.tmp", "tavik-update.stamps.tmp", "bases/timestamp",
               "bases/missing.avc", "bases/missing.avc.lzma", "bases/missing.avc.lzma.part"})
             fs::create_directories((e.var / name).parent_path()), ::mkfifo((e.var / name).c_str(), 0600);
     },
     0, "Warning: Cache: \"{var}/tavik-update.cache\": open: Not a regular file", cache_t::written},
    {"folder_in_the_way_of_a_download",
     [](env_t& e) { e.on_nginx(), fs::create_directories(e.var / "bases" / "missing.avc" / "x"); }, 22,
     "Debug: Download lzma: open: IO error: \"{var}/bases/missing.avc\"", cache_t::written},
    {"update_server_asks_for_proxy_credentials_and_the_next_one_serves",  // without a proxy, only that server's answer
     [](env_t& e) { e.mirrored = true, e.on_fault(fault_t::challenge_basic, "version.lst"); }, 0,
     "Debug: Download LST: Proxy authentication error", cache_t::written},
    {"installed_drl_signed_before_ed25519_parts",
     [](env_t& e) {  // as an upgraded machine has it: still taken
         e.on_nginx();
         const std::string drl = ts::slurp(e.install / "bases.drl"), covered = drl.substr(0, drl.find("sign="));
         ts::spit(e.install / "bases.drl", covered + "sign=" + ts::sign(covered, false) + "\n");
     },
     0, "Debug: Update from zone BASE is planned", cache_t::written},
    {"drl_one_byte_changed", [](env_t& e) { e.on_nginx(), flip(e.install / "bases.drl", "127.0.0"); }, 90,
     "Error: Zone BASE: Invalid DRL-file signature", cache_t::untouched},
    {"forged_zone_ini_refused_by_the_fallback",
     [](env_t& e) {
         e.publish("http://127.0.0.1:" + std::to_string(ts::free_port()) + "/bases", e.dir / "dead");
         flip(e.install / "bases" / "zone.ini", "127.0.0.");
     },
     94, "Error: Zone BASE (fallback): Invalid signature", cache_t::untouched},
    // The zone's one server is asked for the rest twice, then its own failure ends the run.
    {"connection_closed_mid_body_is_a_cut", [](env_t& e) { e.on_fault(fault_t::close_mid_body); }, 29,
     "Notice: Zone BASE: {url}/missing.avc.lzma: cut after *", cache_t::written},
    {"server_stops_sending", [](env_t& e) { e.on_fault(fault_t::stall_mid_body), e.config.set_network_timeout(1000); },
     97, "Notice: Zone BASE: {url}/missing.avc.lzma: no progress for 1 s; asking for the rest", cache_t::written},
    {"head_of_100_mebibytes", [](env_t& e) { e.on_fault(fault_t::huge_head); }, 94,
     "Debug: Invalid HTTP response header: *", cache_t::written},
    {"server_sends_forever", [](env_t& e) { e.on_fault(fault_t::endless_body, "timestamp"); }, 36,
     "Error: Body exceeds the limit of 9 bytes: *", cache_t::written},
    {"served_file_one_byte_changed",
     [](env_t& e) { e.options = {"--plain-only"}, e.on_nginx(), flip(e.served / "missing.avc", "mmmm"); }, 98,
     "Error: SHA256: Invalid checksum: \"{var}/bases/missing.avc\"", cache_t::written},
    {"sigterm_while_checking",
     [](env_t& e) {
         for (const char* big : {"big1.avc", "big2.avc", "big3.avc", "big4.avc"}) {
             e.files[big] = big;
             ts::spit(e.install / "bases" / big, std::string(16 << 20, big[3]));  // hashing them takes a while
         }
         e.on_nginx();
         auto done = std::make_shared<bool>(false);
         e.daemon.on_message = [done](ts::updater_t& u, const tvk::Update2ConfigdMessage& m) {
             if (m.has_check() && !*done) *done = true, terminate(u);
         };
     },
     107, "Notice: Termination signal received, exiting...", cache_t::sound, "Debug: Changed "},
    {"sigterm_while_downloading", [](env_t& e) { e.on_fault(fault_t::stall_mid_body), e.when_stalled(terminate); }, 107,
     "Notice: Termination signal received, exiting...", cache_t::written, "Debug: Monitor: "},
    {"daemon_hangs_up_mid_download",
     [](env_t& e) { e.on_fault(fault_t::stall_mid_body), e.when_stalled([](ts::updater_t& u) { u.hang_up(); }); }, 1,
     "Error: Monitor IPC error: End of file", cache_t::written, "Debug: Monitor: "},
};

// Empty when every record of the cache is true to the disk; otherwise what differs.
std::string cache_faults(const fs::path& var, bool records_expected) {
    upd::Cache cache;
    if (!cache.ParseFromString(ts::slurp(var / "tavik-update.cache"))) return "the cache does not parse";
    if (records_expected && cache.crcs_size() == 0) return "no records";
    std::string faults;
    for (const auto& crc : cache.crcs()) {
        struct stat st {};
        const std::string bytes = ts::slurp(crc.path());
        if (::stat(crc.path().c_str(), &st) != 0 || crc.ino() != static_cast<std::uint32_t>(st.st_ino) ||
            crc.ctime() !=
                static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(st.st_ctime))) ||
            crc.sha256() != ts::digest(EVP_sha256(), bytes) || crc.md5() != ts::digest(EVP_md5(), bytes))
            faults += crc.path() + " ";
    }
    return faults;
}

void PrintTo(const row_t& row, std::ostream* out) { *out << row.name; }

class engine_faults : public ::testing::TestWithParam<row_t> {};

TEST_P(engine_faults, nothing_is_lost) {
    const row_t& row = GetParam();
    env_t env;
    row.setup(env);
    if (IsSkipped()) return;
    const auto installed = ts::snapshot(env.install);
    const auto cache_before = ts::snapshot(env.var / "tavik-update.cache");

    const ts::attempt_t a = ts::run_attempt(env.config, env.daemon);
    std::string line = row.line;
    for (const auto& p : {std::make_pair("{var}", env.var.string()), std::make_pair("{install}", env.install.string()),
                          std::make_pair("{url}", env.url)})
        line = ts::replace_all(line, p.first, p.second);
    EXPECT_EQ(a.status, row.status);
    EXPECT_TRUE(line.back() == '*' ? a.log.has_prefix(line.substr(0, line.size() - 1)) : a.log.has(line)) << line;
    EXPECT_TRUE(row.absent.empty() || !a.log.has_prefix(row.absent)) << row.absent;

    EXPECT_TRUE(ts::snapshot(env.install) == installed) << "the installation changed";
    // The work folder holds only genuine downloads, and the first part of what a server sent to be
    // continued later; a complete one that failed its digest stays for the next run to replace and
    // is never offered.
    for (const auto& f : ts::snapshot(env.var / "bases")) {
        const std::string name = fs::path(f.first).filename().string(), part = name.substr(0, name.rfind(".part"));
        const bool genuine =
            (name.find(".lzma") == std::string::npos &&
             (f.second == ts::slurp(env.genuine / name) || f.second == ts::slurp(env.dir / "fresh" / "update.drl"))) ||
            (part != name && ts::slurp(env.served / part).compare(0, f.second.size(), f.second) == 0);
        const bool failed = row.status == tvk::EC_BAD_CHECKSUM &&
                            a.log.has("Error: SHA256: Invalid checksum: \"" + f.first + "\"") &&
                            a.placed() == std::vector<std::string>{(env.install / "bases.drl").string() + " < " +
                                                                   (env.var / "bases" / "bases.drl").string()};
        EXPECT_TRUE(genuine || failed) << "partial or unverified file left: " << f.first;
        EXPECT_TRUE(row.line.find("no space left") == std::string::npos || name != "missing.avc.part")
            << "the part that filled the disk";
    }
    const bool cache_kept = ts::snapshot(env.var / "tavik-update.cache") == cache_before;
    if (row.cache == cache_t::untouched || (row.cache == cache_t::sound && cache_kept))
        EXPECT_TRUE(cache_kept) << "the cache changed";
    else
        EXPECT_EQ(cache_faults(env.var, row.cache == cache_t::written), "");
    if (HasFailure()) std::cerr << a.log.text();
}

INSTANTIATE_TEST_SUITE_P(matrix, engine_faults, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<row_t>& info) { return std::string(info.param.name); });

TEST(engine_concurrency, files_travel_side_by_side_and_the_request_keeps_the_list_order) {
    env_t env;
    env.files = {{"timestamp", "1\n"},
                 {"a.avc", std::string(400 << 10, 'a')},
                 {"b.avc", std::string(300 << 10, 'b')},
                 {"c.avc", std::string(200 << 10, 'c')},
                 {"d.avc", std::string(100 << 10, 'd')}};
    env.options = {"--plain-only"};
    env.on_fault(fault_t::late, "");  // the larger, the later: d is done first, a last
    const ts::attempt_t a = ts::run_attempt(env.config);
    ASSERT_EQ(a.status, 0) << a.log.text();
    const std::size_t lanes = upd::run_settings_t::from(env.config).connections, most = env.server->most_at_once();
    EXPECT_TRUE(most >= std::min<std::size_t>(4, lanes) && most <= std::min<std::size_t>(5, lanes))
        << most << ": all at once (timestamp, answered at once, may meet the rest)";
    std::vector<std::string> placed;
    for (const char* name : {"timestamp", "a.avc", "b.avc", "c.avc", "d.avc"})
        placed.push_back((env.install / "bases" / name).string() + " < " + (env.var / "bases" / name).string());
    EXPECT_EQ(a.placed(), placed);
}

}  // namespace
