// Mirrors that crawl, throttle, cut, damage a file or forge the list, beside one that serves well:
// no bad mirror holds an update back, each is named in a Warning with its cause, a cut transfer
// goes on where it stopped, and a mirror that asked to be left alone is, in later runs too.
#include "files/lst_file.hpp"
#include "support/servers.hpp"
#include "tests/support/updater_process.hpp"

namespace {

namespace fs = ts::fs;
using fault_t = ts::fault_server_t::fault_t;

enum class serves_t { well, damaged, forged_list, dsa_only_list, republished };
struct mirror_t {
    fault_t fault;
    const char* prefix;  // the files that meet the fault
    serves_t serves = serves_t::well;
};

// A zone of two files on mirrors listed (and asked) in the given order, each a fault server.
struct world_t {
    explicit world_t(const std::vector<mirror_t>& mirrors) {
        std::string big(40000, '\0');
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 5);
        other = big, other[20000] ^= 1;
        files = {{"timestamp", "1\n"}, {"big.avc", big}};
        for (const auto& m : mirrors)
            servers.emplace_back(
                new ts::fault_server_t(dir / ("m" + std::to_string(servers.size())), m.fault, m.prefix));
        std::vector<std::string> urls;
        for (const auto& s : servers) urls.push_back(s->url(""));
        ts::make_zone({files, urls, {}, {}, {}}, dir / "genuine");
        ts::make_zone({{{"timestamp", "1\n"}, {"big.avc", other}}, urls, {}, {}, {"--stamp", "99990101000000"}},
                      dir / "newer");
        for (std::size_t i = 0; i < mirrors.size(); ++i) {
            for (const auto& f : ts::snapshot(dir / "genuine"))
                ts::spit(dir / ("m" + std::to_string(i)) / fs::path(f.first).filename(), f.second);
            const fs::path root = dir / ("m" + std::to_string(i));
            if (mirrors[i].serves == serves_t::damaged)
                fs::copy_file(dir / "newer" / "big.avc.lzma", root / "big.avc.lzma",
                              fs::copy_option::overwrite_if_exists);
            for (const auto& f : ts::snapshot(dir / "newer"))  // what the mirror publishes while the run goes on
                if (mirrors[i].serves == serves_t::republished)
                    ts::spit(root.string() + ".next/" + fs::path(f.first).filename().string(), f.second);
            if (mirrors[i].serves == serves_t::forged_list)
                fs::remove(root / "version.lst.lzma"),
                    ts::spit(root / "version.lst", ts::forged(ts::slurp(root / "version.lst"), "big.avc"));
            std::string covered, signature;  // the list signed as before Ed25519 parts: DSA alone
            if (mirrors[i].serves == serves_t::dsa_only_list &&
                upd::lst_file_t::split_signed(ts::slurp(root / "version.lst"), covered, signature))
                fs::remove(root / "version.lst.lzma"),
                    ts::spit(root / "version.lst",
                             covered + "\n[Signature]\nSignature=" + ts::sign(covered, false) + "\n");
        }
        ts::spit(install / "bases" / "zone.ini", ts::slurp(dir / "genuine" / "zone.ini")),
            fs::copy_file(dir / "genuine" / "update.drl", install / "bases.drl");
        config.set_network_timeout(1000);
    }
    std::string expand(std::string text) const {  // {0}, {1}...: the mirrors' URLs
        for (std::size_t i = 0; i < servers.size(); ++i)
            text = ts::replace_all(text, "{" + std::to_string(i) + "}", servers[i]->url(""));
        return text;
    }
    ts::scratch_t dir{"tavik-mirrors"};
    fs::path install = dir / "install", var = dir / "var";
    std::map<std::string, std::string> files;
    std::string other;  // big.avc as the newer list has it
    std::vector<std::unique_ptr<ts::fault_server_t>> servers;
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
    {"a_crawling_mirror_is_dropped_within_one_window",
     {{fault_t::crawl, "big"}, {fault_t::none, ""}},
     0,
     {everything, "/big.avc.lzma "},
     {"Warning: Zone BASE: {0}big.avc.lzma: under 1 KiB/s for 1 s"}},
    {"chunk_framing_is_no_progress",
     {{fault_t::padded_crawl, "big"}, {fault_t::none, ""}},
     0,
     {everything, "/big.avc.lzma "},
     {"Warning: Zone BASE: {0}big.avc.lzma: under 1 KiB/s for 1 s"}},
    {"chunk_framing_that_outweighs_the_file_is_cut_off",
     {{fault_t::padded_chunks, "big"}, {fault_t::none, ""}},
     0,
     {"/big.avc " + everything, "/big.avc.lzma "},
     {"Warning: Zone BASE: {0}big.avc: chunk framing too large"}},  // packed, then plain
    {"a_cut_transfer_goes_on_at_the_next_mirror",
     {{fault_t::close_mid_body, "big"}, {fault_t::none, ""}},
     0,
     {everything, "/big.avc.lzma "},
     {"Warning: Zone BASE: {0}big.avc.lzma: cut after "}},
    {"a_damaged_file_comes_from_the_next_mirror",
     {{fault_t::none, "", serves_t::damaged}, {fault_t::none, ""}},
     0,
     {everything + "/version.lst.lzma ", "/big.avc.lzma "},  // the list read again: not republished
     {"Warning: Zone BASE: {0}big.avc.lzma: digest mismatch"}},
    {"a_forged_list_is_that_mirrors_failure",
     {{fault_t::none, "", serves_t::forged_list}, {fault_t::none, ""}},
     0,
     {"/version.lst /version.lst.lzma ", everything},
     {"Warning: Zone BASE: {0}version.lst: signature check failed"}},
    {"a_list_without_an_ed25519_part_is_that_mirrors_failure",
     {{fault_t::none, "", serves_t::dsa_only_list}, {fault_t::none, ""}},
     0,
     {"/version.lst /version.lst.lzma ", everything},
     {"Warning: Zone BASE: {0}version.lst: signature check failed"}},
    // A client that read the list just before a switch: the mirror is not blamed, the run starts over.
    {"a_list_republished_during_the_run_starts_it_over",
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
    EXPECT_TRUE(row.status != 0 || ts::slurp(w.var / "bases" / "big.avc") == (newer ? w.other : w.files.at("big.avc")))
        << "the listed bytes";
    EXPECT_EQ(a.placed().size(), row.status ? 0u : newer ? 4u : 2u) << "the newer list signs its server list anew";
    if (HasFailure()) std::cerr << a.log.text();
}

INSTANTIATE_TEST_SUITE_P(mirrors, engine_mirrors, ::testing::ValuesIn(mirrors_rows),
                         [](const ::testing::TestParamInfo<mirrors_row_t>& info) {
                             return std::string(info.param.name);
                         });

TEST(engine_mirrors_over_runs, a_part_is_continued_later_and_a_busy_mirror_left_alone_until_all_are) {
    world_t w({{fault_t::close_mid_body, "big"}, {fault_t::throttle, ""}});
    const std::uint64_t size = fs::file_size(w.dir / "genuine" / "big.avc.lzma"), half = size / 2;
    EXPECT_EQ(ts::run_attempt(w.config, {ts::answer_t::success, {}, {}, RLIM_INFINITY, {"TAVIK_KEEP_ALIVE=0"}}).status,
              tvk::EC_NO_UPDATE_SERVERS)
        << "cut, then busy";
    for (const auto& head : w.servers[0]->requests())
        EXPECT_NE(head.find("\r\nConnection: close\r\n"), std::string::npos) << "as told";
    EXPECT_EQ(fs::file_size(w.var / "bases" / "big.avc.lzma.part"), half);
    EXPECT_NE(ts::slurp(w.var / "tavik-update.servers").find(" " + w.servers[1]->url("") + "\n"), std::string::npos);
    w.servers[0]->set_fault(fault_t::none), w.servers[1]->set_fault(fault_t::none);
    const bool had_timestamp = fs::exists(w.var / "bases" / "timestamp");
    ts::spit(w.var / "bases" / "gone.avc.part", "g"),
        ts::spit(w.var / "bases" / "timestamp.part", "1");  // not listed; a week old
    fs::last_write_time(w.var / "bases" / "timestamp.part", std::time(nullptr) - 8 * 86400);
    const std::size_t served = w.servers[0]->body_bytes();
    const ts::attempt_t a = ts::run_attempt(w.config);
    ASSERT_EQ(a.status, 0) << a.log.text();
    EXPECT_NE(w.servers[0]->requests().back().find("\r\nRange: bytes=" + std::to_string(half) + "-\r\n"),
              std::string::npos);
    // The first run may have stopped the timestamp's download when the big file failed.
    EXPECT_EQ(w.servers[0]->body_bytes() - served,
              fs::file_size(w.dir / "genuine" / "version.lst.lzma") + size - half + (had_timestamp ? 0 : 2));
    EXPECT_EQ(ts::listing(w.var / "bases"), "big.avc timestamp ") << "no part left";
    EXPECT_EQ(w.servers[1]->paths(), "/big.avc.lzma ") << "left alone";
    EXPECT_TRUE(ts::slurp(w.var / "bases" / "big.avc") == w.files.at("big.avc"));
}

TEST(engine_mirrors_on_one_host, each_mirror_keeps_its_own_addresses_and_a_lone_mirror_continues_a_cut_within_the_run) {
    std::string big(40000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 5);
    for (const bool lone :
         {false, true}) {  // two mirrors under one host and port, the first failing once; one mirror cutting once
        ts::scratch_t dir{"tavik-one-host"};
        const fs::path var = dir / "var", install = dir / "install";
        ts::fault_server_t server(dir / "www", lone ? fault_t::cut_once : fault_t::close_in_head_once, "big");
        const std::vector<std::string> urls = lone ? std::vector<std::string>{server.url("a/")}
                                                   : std::vector<std::string>{server.url("a/"), server.url("b/")};
        ts::make_zone({{{"big.avc", big}}, urls, {}, {}, {}}, dir / "genuine");
        for (const char* mirror : {"a", "b"})
            for (const auto& f : ts::snapshot(dir / "genuine"))
                ts::spit(dir / "www" / mirror / fs::path(f.first).filename(), f.second);
        ts::spit(install / "bases" / "zone.ini", ts::slurp(dir / "genuine" / "zone.ini")),
            ts::spit(install / "bases.drl", ts::slurp(dir / "genuine" / "update.drl"));
        const ts::attempt_t a = ts::run_attempt(ts::base_config(var, install / "bases.drl", install / "bases"));
        EXPECT_EQ(a.status, 0) << a.log.text();
        EXPECT_EQ(server.paths(), lone ? "/a/big.avc.lzma /a/big.avc.lzma /a/version.lst.lzma "
                                       : "/a/big.avc.lzma /a/version.lst.lzma /b/big.avc.lzma ");
        EXPECT_TRUE(lone || server.requests().back().find("\r\nRange: bytes=") == std::string::npos);
        EXPECT_TRUE(!lone || server.requests().back().find("\r\nRange: bytes=") != std::string::npos)
            << "the rest of what was cut";
        EXPECT_TRUE(ts::slurp(var / "bases" / "big.avc") == big);
    }
}

}  // namespace
