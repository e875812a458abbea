// Whole runs that each meet one fault, after which nothing is lost: the installation is unchanged, the
// work folder holds only genuine downloads (or their first parts), the hash cache is untouched or true.
#include "support/servers.hpp"
#include "tests/support/updater_process.hpp"

#include "upd_cache.pb.h"

#include <sys/stat.h>

namespace {

namespace fs = ts::fs;
using fault_t = ts::fault_server_t::fault_t;

enum class cache_t { written, untouched };

struct env_t {
    ts::scratch_t dir{"tavik-fault"};
    fs::path var = dir / "var", install = dir / "install", served = dir / "www" / "bases";
    std::map<std::string, std::string> files = {{"timestamp", "20261206\n"},
                                                {"current.avc", "unchanged\n"},
                                                {"changed.avc", "new edition\n"},
                                                {"missing.avc", std::string(70000, 'm')}},
                                       genuine;  // what make-zone published, by name
    std::vector<std::string> options;            // make-zone options
    std::unique_ptr<ts::fault_server_t> server;
    std::string h2_fault;   // a hostile HTTP/2 server's, which is then the zone's first server
    bool mirrored = false;  // the fault server listed after it
    std::unique_ptr<ts::h2_fault_server_t> h2;
    tvk::UpdateConfig config = ts::base_config(var, install / "bases.drl", install / "bases");
    ts::daemon_t daemon;

    env_t() {
        ts::spit(install / "bases" / "current.avc", "unchanged\n");
        ts::spit(install / "bases" / "changed.avc", "old edition\n");
        fs::create_directories(var), config.set_network_timeout(5000);
    }
    // The zone's files whose names begin with `prefix` meet the fault; its fallback holds a fresh list.
    void publish(fault_t fault = fault_t::none, const std::string& prefix = "missing.avc") {
        server.reset(new ts::fault_server_t(dir / "www", fault, prefix));
        std::vector<std::string> urls{server->url("bases")};
        if (!h2_fault.empty()) {
            h2.reset(new ts::h2_fault_server_t(dir / "www", h2_fault, prefix));
            urls.insert(urls.begin(), h2->url("bases"));
            if (!mirrored) urls.pop_back();
        }
        ts::make_zone({{{"timestamp", "1\n"}}, {server->url("fresh")}, {}, {}, {}}, dir / "fresh");
        ts::spit(dir / "www" / "fresh" / "bases.drl", ts::slurp(dir / "fresh" / "update.drl"));
        ts::make_zone({files, urls, {server->url("fresh")}, {}, options}, served);
        for (const auto& f : ts::snapshot(served)) genuine[fs::path(f.first).filename().string()] = f.second;
        ts::install_zone(served, install / "bases.drl", install / "bases");
        std::this_thread::sleep_for(std::chrono::milliseconds(1050));  // the installation predates the run
    }
    // Acts once the fault has begun.
    void when_stalled(std::function<void(ts::updater_t&)> act) {
        auto done = std::make_shared<bool>(false);
        daemon.on_tick = [this, done, act](ts::updater_t& u) {
            if (!*done && server->faults() > 0) *done = true, act(u);
        };
    }
};

void flip(const fs::path& path, const std::string& near) { ts::spit(path, ts::forged(ts::slurp(path), near)); }

// A listed digest of odd length, which decodes to nothing, signed anew.
void odd_digest(const fs::path& lst, const std::string& name) {
    std::string covered = ts::slurp(lst);
    covered.replace(covered.find("+" + name + ", ") + name.size() + 3, 64, "123");
    ts::spit(lst, ts::signed_text(covered.substr(0, covered.find("[TavikUpdateListEnd]\n") + 21),
                                  "\n[Signature]\nSignature=%s\n"));
}

struct row_t {
    const char* name;
    std::function<void(env_t&)> setup;
    int status;
    std::string line;  // "{var}" and "{url}" expand; a final "*" matches a prefix
    cache_t cache;
    std::string absent = {};  // a prefix of no line: the fault came first
};

const row_t rows[] = {
    // No lane can start at the process limit: the run's own connection takes every file.
    {"no_thread_for_any_download", [](env_t& e) { e.publish(), e.daemon.environment = {"TAVIK_TEST_FAILING_LANE=1"}; },
     0, "Warning: Downloads: no connection started, one file after another: *", cache_t::written},
    {"disk_full_while_unpacking", [](env_t& e) { e.publish(), e.daemon.file_size_limit = 65536; }, 125,
     "Error: write: File too large: \"{var}/bases/missing.avc\"", cache_t::written},
    {"disk_full_while_saving_the_cache",
     [](env_t& e) {
         e.files.erase("missing.avc");
         for (int i = 1000; i < 1100; ++i) {  // installed as listed
             const std::string name = "file-" + std::to_string(i) + ".avc";
             ts::spit(e.install / "bases" / name, e.files[name] = name);
         }
         e.publish();
         e.daemon.file_size_limit = 4096;
         e.config.set_log_level(tvk::LOG_LEVEL_NOTICE);  // the log is bounded too
         upd::Cache previous;                            // which the failed save must leave as it was
         auto* r = previous.add_crcs();
         r->set_path("/gone"), r->set_dev(1), r->set_ino(1), r->set_ctime(1), r->set_sha256(std::string(32, 's')),
             r->set_md5("m");
         ts::spit(e.var / "tavik-update.cache", previous.SerializeAsString());
     },
     0, "Warning: Cache: \"{var}/tavik-update.cache\": serialization failed", cache_t::untouched},
    {"missing_file_against_a_digest_of_no_bytes",  // never taken for current
     [](env_t& e) {
         e.files["tavik32.dll"] = "engine", e.options = {"--no-lzma-list"}, e.publish();
         e.config.set_core_engine_path((e.install / "tavik32.dll").string()),
             odd_digest(e.served / "version.lst", "tavik32.dll");
     },
     98, "Error: SHA256: Invalid checksum: \"{var}/bases/tavik32.dll\"", cache_t::written},
    {"fifos_planted_in_the_work_folder",  // each would block its open, and SIGTERM with it
     [](env_t& e) {
         e.publish();
         for (const char* name :
              {"tavik-update.cache", "tavik-update.cache.tmp", "tavik-update.stamps.tmp", "bases/timestamp",
               "bases/missing.avc", "bases/missing.avc.lzma", "bases/missing.avc.lzma.part"})
             fs::create_directories((e.var / name).parent_path()), ::mkfifo((e.var / name).c_str(), 0600);
     },
     0, "Warning: Cache: \"{var}/tavik-update.cache\": open: Not a regular file", cache_t::written},
    {"installed_drl_signed_before_ed25519_parts",
     [](env_t& e) {  // as an upgraded machine has it: still taken
         e.publish();
         const std::string drl = ts::slurp(e.install / "bases.drl"), covered = drl.substr(0, drl.find("sign="));
         ts::spit(e.install / "bases.drl", covered + "sign=" + ts::sign(covered, false) + "\n");
     },
     0, "Debug: Update from zone BASE is planned", cache_t::written},
    {"forged_zone_ini_refused_by_the_fallback",
     [](env_t& e) {
         e.publish(fault_t::close_in_head, "version.lst"), flip(e.install / "bases" / "zone.ini", "127.0.0.");
     },
     94, "Error: Zone BASE (fallback): Invalid signature", cache_t::untouched},
    {"another_zones_list_served_as_this_ones",
     [](env_t& e) {
         e.options = {"--zone", "VERSION"}, e.publish();
     },
     91, "Warning: Zone BASE: {url}/version.lst.lzma: the file list is zone VERSION's, not BASE's", cache_t::untouched},
    {"own_rate_limit_slower_than_the_time_out",  // waits for the limit are no server's silence
     [](env_t& e) {
         e.files["missing.avc"] = std::string(3000, 'm'), e.publish(), e.config.set_network_timeout(400);
         e.daemon.environment = {"TAVIK_MAX_RATE=1k"};
     },
     0, "Notice: Exit with status 0 (Success)", cache_t::written},
    {"h2_own_rate_limit_slower_than_the_time_out",
     [](env_t& e) {
         e.h2_fault = "none", e.files["missing.avc"] = std::string(3000, 'm'), e.publish();
         e.config.set_network_timeout(400), e.daemon.environment = {"TAVIK_MAX_RATE=1k"};
     },
     0, "Notice: Exit with status 0 (Success)", cache_t::written},
    {"malformed_rate_limit", [](env_t& e) { e.publish(), e.daemon.environment = {"TAVIK_MAX_RATE=1025M"}; }, 0,
     "Warning: TAVIK_MAX_RATE is not a rate from 1k to 1024M bytes a second; downloads are not limited",
     cache_t::written},
    // A container that fails gives way to the plain file, unless its server failed.
    {"container_that_does_not_unpack",
     [](env_t& e) { e.publish(), ts::spit(e.served / "missing.avc.lzma", "no container"); }, 0,
     "Debug: Download lzma: Invalid compressed file*", cache_t::written},
    {"endless_container", [](env_t& e) { e.publish(fault_t::endless_body, "missing.avc.lzma"); }, 0,
     "Debug: Download lzma: Body exceeds the limit of 93474 bytes: *", cache_t::written},
    {"server_error_on_the_container", [](env_t& e) { e.publish(fault_t::server_error, "missing.avc.lzma"); }, 125,
     "Error: HTTP status 500*", cache_t::written},
    {"listed_file_missing_on_the_server",
     [](env_t& e) { e.publish(), fs::remove(e.served / "missing.avc.lzma"), fs::remove(e.served / "missing.avc"); }, 23,
     "Error: No such file or directory", cache_t::written},
    {"served_file_one_byte_changed",
     [](env_t& e) { e.options = {"--plain-only"}, e.publish(), flip(e.served / "missing.avc", "mmmm"); }, 98,
     "Error: SHA256: Invalid checksum: \"{var}/bases/missing.avc\"", cache_t::written},
    {"server_stops_sending", [](env_t& e) { e.publish(fault_t::stall_mid_body), e.config.set_network_timeout(1000); },
     97, "Notice: Zone BASE: {url}/missing.avc.lzma: no progress for 1 s; asking for the rest", cache_t::written},
    {"server_sends_forever", [](env_t& e) { e.publish(fault_t::endless_body, "timestamp"); }, 36,
     "Error: Body exceeds the limit of 9 bytes: *", cache_t::written},
    // HTTP/2: a refusal is asked again; any other fault is the server's, within the time-out, and the files it
    // failed go to the next mirror.
    {"h2_goaway_mid_transfer", [](env_t& e) { e.h2_fault = "goaway", e.publish(); }, 0,
     "Debug: HTTP/2: {url}/missing.avc.lzma: asked again on a new connection", cache_t::written},
    {"h2_rst_stream", [](env_t& e) { e.h2_fault = "rst_stream", e.mirrored = true, e.publish(); }, 0,
     "Warning: Zone BASE: {url}/missing.avc.lzma: stream reset (INTERNAL_ERROR)", cache_t::written},
    {"h2_zero_window", [](env_t& e) { e.h2_fault = "zero_window", e.publish(), e.config.set_network_timeout(1000); },
     97, "Warning: Zone BASE: {url}/missing.avc.lzma: no progress for 1 s", cache_t::written},
    {"h2_header_bomb", [](env_t& e) { e.h2_fault = "header_bomb", e.mirrored = true, e.publish(); }, 0,
     "Warning: Zone BASE: {url}/missing.avc.lzma: response head too large", cache_t::written},
    {"h2_stalled_stream", [](env_t& e) { e.h2_fault = "stall", e.publish(), e.config.set_network_timeout(1000); }, 97,
     "Notice: Zone BASE: {url}/missing.avc.lzma: no progress for 1 s; asking for the rest", cache_t::written},
    {"h2_garbage_after_alpn", [](env_t& e) { e.h2_fault = "garbage", e.publish(fault_t::none, ""); }, 29,
     "Warning: Zone BASE: {url}/version.lst.lzma: protocol error*", cache_t::untouched},
    {"sigterm_while_downloading",
     [](env_t& e) { e.publish(fault_t::stall_mid_body), e.when_stalled([](ts::updater_t& u) { u.kill(SIGTERM); }); },
     107, "Notice: Termination signal received, exiting...", cache_t::written, "Debug: Monitor: "},
    {"daemon_hangs_up_mid_download",
     [](env_t& e) { e.publish(fault_t::stall_mid_body), e.when_stalled([](ts::updater_t& u) { u.hang_up(); }); }, 1,
     "Error: Monitor IPC error: End of file", cache_t::written, "Debug: Monitor: "},
};

// The records of the cache untrue to the disk.
std::string cache_faults(const fs::path& var) {
    upd::Cache cache;
    if (!cache.ParseFromString(ts::slurp(var / "tavik-update.cache"))) return "the cache does not parse";
    if (cache.crcs_size() == 0) return "no records";
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
    if (!TAVIK_HTTP2 && env.h2) GTEST_SKIP() << "built without HTTP/2";
    const auto installed = ts::snapshot(env.install);
    const auto cache_before = ts::snapshot(env.var / "tavik-update.cache");

    const ts::attempt_t a = ts::run_attempt(env.config, env.daemon);
    std::string line = row.line;
    for (const auto& p : {std::make_pair("{var}", env.var.string()),
                          std::make_pair("{url}", env.h2 ? env.h2->url("bases") : env.server->url("bases"))})
        line = ts::replace_all(line, p.first, p.second);
    EXPECT_EQ(a.status, row.status);
    EXPECT_TRUE(line.back() == '*' ? a.log.has_prefix(line.substr(0, line.size() - 1)) : a.log.has(line)) << line;
    EXPECT_TRUE(row.absent.empty() || !a.log.has_prefix(row.absent)) << row.absent;

    EXPECT_TRUE(ts::snapshot(env.install) == installed) << "the installation changed";
    // Parts stay to be continued; a file that failed its digest, to be replaced, never offered.
    for (const auto& f : ts::snapshot(env.var / "bases")) {
        const std::string name = fs::path(f.first).filename().string(), part = name.substr(0, name.rfind(".part"));
        const bool genuine =
            (name.find(".lzma") == std::string::npos &&
             (f.second == env.genuine[name] || f.second == ts::slurp(env.dir / "fresh" / "update.drl"))) ||
            (part != name && (ts::slurp(env.served / part).compare(0, f.second.size(), f.second) == 0 ||
                              f.second.find_first_not_of('x') == std::string::npos));  // of an endless body
        const bool failed = row.status == tvk::EC_BAD_CHECKSUM &&
                            a.log.has("Error: SHA256: Invalid checksum: \"" + f.first + "\"") &&
                            a.placed() == std::vector<std::string>{(env.install / "bases.drl").string() + " < " +
                                                                   (env.var / "bases" / "bases.drl").string()};
        EXPECT_TRUE(genuine || failed) << "partial or unverified file left: " << f.first;
    }
    if (row.cache == cache_t::untouched)
        EXPECT_TRUE(ts::snapshot(env.var / "tavik-update.cache") == cache_before) << "the cache changed";
    else
        EXPECT_EQ(cache_faults(env.var), "");
    if (HasFailure()) std::cerr << a.log.text();
}

INSTANTIATE_TEST_SUITE_P(matrix, engine_faults, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<row_t>& info) { return std::string(info.param.name); });

}  // namespace
