// Patches offered, missing, damaged or too large: the installed copy patched when it can be, else the
// whole file; the listed bytes placed.
#include "support/servers.hpp"
#include "tests/support/updater_process.hpp"

namespace {

namespace fs = ts::fs;
using fault_t = ts::fault_server_t::fault_t;

struct patch_world_t {
    ts::scratch_t dir{"tavik-patches"};
    fs::path root = dir / "www", install = dir / "install", var = dir / "var";
    std::string v1, v2, patch;
    ts::fault_server_t server{root, fault_t::none, ""};
    tvk::UpdateConfig config = ts::base_config(var, install / "update.drl", install);

    patch_world_t() {
        for (std::size_t i = 0; i < 200000; ++i) v1 += static_cast<char>((i * 2654435761u) >> 9);
        v2 = v1.substr(0, 90000) + std::string(3000, 'n') + v1.substr(90000);
        patch =
            "/patches/" + ts::hex(ts::digest(EVP_sha256(), v1)) + "-" + ts::hex(ts::digest(EVP_sha256(), v2)) + ".zst";
        ts::spit(dir / "v1" / "base.avc", v1);
        ts::make_zone({{{"base.avc", v2}}, {server.url("")}, {}, {}, {"--previous", (dir / "v1").string()}}, root);
        ts::spit(install / "base.avc", v1), ts::install_zone(root, install / "update.drl", install);
        config.set_network_timeout(5000);
    }
};

TEST(engine_patches, patched_when_it_can_whole_otherwise) {
    const struct {
        const char* name;
        std::function<void(patch_world_t&)> setup;
        bool asked, patched;  // the patch was asked for; the file was made from it
        std::string warning;
    } rows[] = {
        {"the installed copy patched", [](patch_world_t&) {}, true, true, ""},
        {"a damaged patch",
         [](patch_world_t& w) {
             std::string patch = ts::slurp(w.root / w.patch);
             patch[28] ^= 1, ts::spit(w.root / w.patch, patch);
         },
         true, false, "Warning: Zone BASE: {url}: "},
        {"no index", [](patch_world_t& w) { fs::remove(w.root / "patches" / "index"); }, false, false, ""},
        {"a patch the server lacks", [](patch_world_t& w) { fs::remove(w.root / w.patch); }, true, false, ""},
        {"half the file or more",
         [](patch_world_t& w) { ts::spit(w.root / w.patch, std::string(w.v2.size() / 2 + 65537, 'j')); }, true, false,
         "Warning: Zone BASE: {url}: larger than 167036 bytes; the whole file instead"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        patch_world_t w;
        r.setup(w);
        const ts::attempt_t a = ts::run_attempt(w.config);
        EXPECT_EQ(a.status, 0) << a.log.text();
        EXPECT_TRUE(ts::slurp(w.var / "bases" / "base.avc") == w.v2) << "the listed bytes";
        EXPECT_EQ(w.server.paths(), (r.patched ? "" : "/base.avc.lzma ") + (r.asked ? w.patch + " " : "") +
                                        "/patches/index /version.lst.lzma ");
        const std::string warning = ts::replace_all(r.warning, "{url}", w.server.url(w.patch.substr(1)));
        EXPECT_EQ(a.log.has_prefix(warning.empty() ? "Warning: Zone" : warning), !warning.empty()) << a.log.text();
        EXPECT_EQ(a.log.has_prefix("Notice: Patched base.avc ("), r.patched);
    }
    patch_world_t off;  // patches turned off: not even the index is asked for
    EXPECT_EQ(ts::run_attempt(off.config, {ts::answer_t::success, {}, {}, RLIM_INFINITY, {"TAVIK_PATCHES=0"}}).status,
              0);
    EXPECT_EQ(off.server.paths(), "/base.avc.lzma /version.lst.lzma ");
}

}  // namespace
