// Bad mirrors beside a good one: none holds an update back, each named with its cause; a cut transfer
// goes on later, a busy mirror is left alone.
#include "files/lst_file.hpp"
#include "support/servers.hpp"
#include "tests/support/updater_process.hpp"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

namespace fs = ts::fs;
using fault_t = ts::fault_server_t::fault_t;

enum class serves_t { well, damaged, dsa_only_list, republished };
struct mirror_t {
    fault_t fault;
    const char* prefix;  // the files that meet the fault
    serves_t serves = serves_t::well;
};

// A zone of two files on mirrors asked in order: a fault server each, or one for all (the first's fault).
struct world_t {
    explicit world_t(const std::vector<mirror_t>& mirrors, bool one_host = false) {
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 5);
        other = big, other[20000] ^= 1;
        for (std::size_t i = 0; i < mirrors.size(); ++i) {
            const std::string m = "m" + std::to_string(i);
            if (!one_host || i == 0)
                servers.emplace_back(
                    new ts::fault_server_t(one_host ? dir.path() : dir / m, mirrors[i].fault, mirrors[i].prefix));
            urls.push_back(one_host ? servers[0]->url(m + "/") : servers[i]->url(""));
        }
        ts::make_zone({{{"timestamp", "1\n"}, {"big.avc", big}}, urls, {}, {}, {}}, dir / "genuine");
        ts::make_zone({{{"timestamp", "1\n"}, {"big.avc", other}}, urls, {}, {}, {"--stamp", "99990101000000"}},
                      dir / "newer");
        for (std::size_t i = 0; i < mirrors.size(); ++i) {
            const fs::path root = dir / ("m" + std::to_string(i));
            const serves_t serves = mirrors[i].serves;
            for (const auto& f : ts::snapshot(dir / "genuine")) ts::spit(root / fs::path(f.first).filename(), f.second);
            if (serves == serves_t::damaged) ts::spit(root / "big.avc.lzma", ts::slurp(dir / "newer" / "big.avc.lzma"));
            for (const auto& f : ts::snapshot(dir / "newer"))  // what the mirror publishes while the run goes on
                if (serves == serves_t::republished)
                    ts::spit(root.string() + ".next/" + fs::path(f.first).filename().string(), f.second);
            std::string covered, signature;  // the list signed as before Ed25519 parts: DSA alone
            if (serves == serves_t::dsa_only_list &&
                upd::lst_file_t::split_signed(ts::slurp(root / "version.lst"), covered, signature))
                fs::remove(root / "version.lst.lzma"),
                    ts::spit(root / "version.lst",
                             covered + "\n[Signature]\nSignature=" + ts::sign(covered, false) + "\n");
        }
        ts::install_zone(dir / "genuine", install / "bases.drl", install / "bases");
        config.set_network_timeout(1000);
    }
    std::string expand(std::string text) const {  // {0}, {1}...: the mirrors' URLs
        for (std::size_t i = 0; i < urls.size(); ++i)
            text = ts::replace_all(text, "{" + std::to_string(i) + "}", urls[i]);
        return text;
    }
    ts::scratch_t dir{"tavik-mirrors"};
    fs::path install = dir / "install", var = dir / "var";
    std::string big = std::string(40000, '\0'), other;  // big.avc as listed, and as the newer list has it
    std::vector<std::unique_ptr<ts::fault_server_t>> servers;
    std::vector<std::string> urls;
    tvk::UpdateConfig config = ts::base_config(var, install / "bases.drl", install / "bases");
};

const std::string everything = "/big.avc.lzma /timestamp /version.lst.lzma ";
const struct mirrors_row_t {
    const char* name;
    std::vector<mirror_t> mirrors;
    int status;
    std::vector<std::string> paths;     // what each mirror was asked, sorted
    std::vector<std::string> warnings;  // prefixes of lines; "!" first: of none
} mirrors_rows[] = {
    {"crawling_mirror_dropped",
     {{fault_t::crawl, "big"}, {fault_t::none, ""}},
     0,
     {everything, "/big.avc.lzma "},
     {"Warning: Zone BASE: {0}big.avc.lzma: under 1 KiB/s for 1 s"}},
    {"damaged_file_from_the_next",
     {{fault_t::none, "", serves_t::damaged}, {fault_t::none, ""}},
     0,
     {everything + "/version.lst.lzma ", "/big.avc.lzma "},  // the list read again: not republished
     {"Warning: Zone BASE: {0}big.avc.lzma: digest mismatch"}},
    {"list_without_ed25519_part",
     {{fault_t::none, "", serves_t::dsa_only_list}, {fault_t::none, ""}},
     0,
     {"/version.lst /version.lst.lzma ", everything},
     {"Warning: Zone BASE: {0}version.lst: signature check failed"}},
    // A client that read the list just before a switch: the mirror is not blamed.
    {"republished_list_starts_over",
     {{fault_t::republish, "big", serves_t::republished}, {fault_t::none, ""}},
     0,
     {"/big.avc.lzma /patches/index /timestamp /update.drl.lzma /version.lst.lzma /version.lst.lzma /version.lst.lzma "
      "/zone.ini.lzma ",
      ""},
     {"Notice: Zone BASE: {0} published a newer file list (stamp 99990101000000) during the run; starting over",
      "!Warning: Zone BASE: {0}"}},
    {"every_mirror_failing_a_file_names_each",
     {{fault_t::close_mid_body, "big"}, {fault_t::none, "", serves_t::damaged}},
     94,
     {"/big.avc.lzma /version.lst.lzma ", "/big.avc.lzma /big.avc.lzma "},
     {"Warning: Zone BASE: {0}big.avc.lzma: cut after ", "Warning: Zone BASE: {1}big.avc.lzma: digest mismatch"}},
};

void PrintTo(const mirrors_row_t& row, std::ostream* out) { *out << row.name; }

class engine_mirrors : public ::testing::TestWithParam<mirrors_row_t> {};

TEST_P(engine_mirrors, no_bad_mirror_holds_the_update_back) {
    const mirrors_row_t& row = GetParam();
    world_t w(row.mirrors);
    const ts::attempt_t a = ts::run_attempt(w.config);
    EXPECT_EQ(a.status, row.status);
    for (std::size_t i = 0; i < row.mirrors.size(); ++i) {
        std::string asked = w.servers[i]->paths();
        // A failed run may end before the other lane asks for its file.
        if (row.status != 0 && asked.find("/timestamp ") != std::string::npos)
            asked.erase(asked.find("/timestamp "), 11);
        EXPECT_EQ(asked, row.paths[i]) << "mirror " << i;
    }
    for (const auto& line : row.warnings)
        EXPECT_NE(a.log.has_prefix(w.expand(line.substr(line[0] == '!'))), line[0] == '!') << line;
    const bool newer = row.mirrors[0].serves == serves_t::republished;
    EXPECT_TRUE(row.status != 0 || ts::slurp(w.var / "bases" / "big.avc") == (newer ? w.other : w.big))
        << "the listed bytes";
    EXPECT_EQ(a.placed().size(), row.status ? 0u : newer ? 4u : 2u) << "the newer list signs its server list anew";
    if (HasFailure()) std::cerr << a.log.text();
}

INSTANTIATE_TEST_SUITE_P(mirrors, engine_mirrors, ::testing::ValuesIn(mirrors_rows),
                         [](const ::testing::TestParamInfo<mirrors_row_t>& info) {
                             return std::string(info.param.name);
                         });

TEST(engine_mirrors_over_runs, parts_continued_busy_mirrors_left_alone) {
    world_t w({{fault_t::close_mid_body, "big"}, {fault_t::throttle, ""}});
    const std::uint64_t half = fs::file_size(w.dir / "genuine" / "big.avc.lzma") / 2;
    EXPECT_EQ(ts::run_attempt(w.config, {ts::answer_t::success, {}, {}, RLIM_INFINITY, {"TAVIK_KEEP_ALIVE=0"}}).status,
              tvk::EC_NO_UPDATE_SERVERS)
        << "cut, then busy";
    for (const auto& head : w.servers[0]->requests())
        EXPECT_NE(head.find("\r\nConnection: close\r\n"), std::string::npos) << "as told";
    EXPECT_EQ(fs::file_size(w.var / "bases" / "big.avc.lzma.part"), half);
    EXPECT_NE(ts::slurp(w.var / "tavik-update.servers").find(" " + w.servers[1]->url("") + "\n"), std::string::npos);
    w.servers[0]->set_fault(fault_t::none), w.servers[1]->set_fault(fault_t::none);
    ts::spit(w.var / "bases" / "gone.avc.part", "g");  // not listed
    const ts::attempt_t a = ts::run_attempt(w.config);
    ASSERT_EQ(a.status, 0) << a.log.text();
    EXPECT_NE(w.servers[0]->requests().back().find("\r\nRange: bytes=" + std::to_string(half) + "-\r\n"),
              std::string::npos);
    EXPECT_EQ(ts::listing(w.var / "bases"), "big.avc timestamp ") << "no part left";
    EXPECT_EQ(w.servers[1]->paths(), "/big.avc.lzma ") << "left alone";
    EXPECT_TRUE(ts::slurp(w.var / "bases" / "big.avc") == w.big);
}

// Two mirrors on one host and port, the first failing once: the second is not gone with it.
TEST(engine_mirrors_on_one_host, each_mirror_keeps_its_own_addresses) {
    world_t w({{fault_t::close_in_head_once, "big"}, {fault_t::none, ""}}, true);
    const ts::attempt_t a = ts::run_attempt(w.config);
    EXPECT_EQ(a.status, 0) << a.log.text();
    EXPECT_EQ(w.servers[0]->paths(), "/m0/big.avc.lzma /m0/timestamp /m0/version.lst.lzma /m1/big.avc.lzma ");
    EXPECT_TRUE(ts::slurp(w.var / "bases" / "big.avc") == w.big);
}

}  // namespace
