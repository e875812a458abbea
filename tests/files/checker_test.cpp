// Digests of installed files and their cache.
#include "files/check_counter.hpp"
#include "files/checker.hpp"
#include "framework/error_code.hpp"
#include "tests/support/support.hpp"

#include "upd_cache.pb.h"

#include <sys/stat.h>
#include <thread>

namespace {

namespace fs = ts::fs;

using ts::hex;

struct checker_test : ::testing::Test {
    void SetUp() override {
        for (const char* name : {"a", "b", "old"}) ts::spit(dir / "inst" / name, std::string(3, name[0]));
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // older than the current second
    }
    void TearDown() override { reset_log_for_tests(); }
    void record(upd::Cache& cache, const std::string& name, char digest) {  // the file as it is now
        struct stat st {};
        ::stat((dir / "inst" / name).c_str(), &st);
        upd::FileCrc& crc = *cache.add_crcs();
        crc.set_path((dir / "inst" / name).string()), crc.set_dev(st.st_dev), crc.set_ino(st.st_ino);
        crc.set_ctime(digest == 'B' ? 1 : st.st_ctime), crc.set_sha256(std::string(32, digest)),
            crc.set_md5(std::string(16, digest));
    }
    std::string cached() {
        upd::Cache cache;
        EXPECT_TRUE(cache.ParseFromString(ts::slurp(dir / "tavik-update.cache")));
        std::string names;
        for (const auto& c : cache.crcs()) names += fs::path(c.path()).filename().string() + " ";
        return names;
    }
    // hash_all's last report: "checked/to check".
    std::string hash_all(upd::checker_t& checker) {
        struct : upd::check_counter_t {
            void start_check(std::uint32_t n) override { to_check = n; }
            void set_checked(std::uint32_t n) override { seen = std::to_string(n) + "/" + std::to_string(to_check); }
            std::uint32_t to_check = 0;
            std::string seen;
        } counter;
        checker.hash_all(counter);
        return counter.seen;
    }
    ts::scratch_t dir;
    std::shared_ptr<ts::capture_log_t> log = ts::capture_log_t::install();
};

TEST_F(checker_test, cached_while_the_identity_holds) {
    upd::Cache cache;
    record(cache, "a", 'A'), record(cache, "b", 'B'), record(cache, "old", 'O');  // b has changed since
    // Enough that saving reads their folder, not a stat each.
    for (char c = '0'; c <= '8'; ++c)
        ts::spit(dir / "inst" / (std::string("f") + c), "f"), record(cache, std::string("f") + c, 'F');
    ts::spit(dir / "tavik-update.cache", cache.SerializeAsString());
    fs::remove(dir / "inst" / "old");
    fs::create_symlink(dir / "nowhere", dir / "inst" / "old");  // dangling: gone as well
    {
        upd::checker_t checker(dir.path());
        EXPECT_TRUE(log->has("Debug: Checker: 12 records loaded"));
        EXPECT_EQ(checker.sha256(dir / "inst" / "a"), std::string(32, 'A'));
        EXPECT_EQ(hex(checker.sha256(dir / "inst" / "b")),
                  "3e744b9dc39389baf0c5a0660589b8402f3dbb49b89b3e75f2c9355852a3c677");
        EXPECT_EQ(hex(checker.md5(dir / "inst" / "b")), "08f8e0260c64418510cefb2b06eee5cd");
        EXPECT_EQ(checker.digests(dir / "inst" / "missing"), upd::checker_t::digests_t());
        ts::spit(dir / "inst" / "fresh", "new");  // changed in the current second: never cached
        EXPECT_EQ(hex(checker.md5(dir / "inst" / "fresh")), "22af645d1859cb5ca6da0c484f1f37ea");
        EXPECT_EQ(hash_all(checker), "0/0");
    }
    EXPECT_EQ(cached(), "a b f0 f1 f2 f3 f4 f5 f6 f7 f8 ");
}

TEST_F(checker_test, failures_are_never_cached) {
    ts::spit(dir / "tavik-update.cache", std::string("\x0a\xff\xff\x07garbage", 11));
    {
        upd::checker_t checker(dir.path());
        EXPECT_TRUE(log->has("Warning: Cache: \"" + (dir / "tavik-update.cache").string() + "\": invalid format"));
        checker.add({dir / "inst" / "b", dir / "inst" / "a", dir / "inst" / "missing", dir / "inst" / "a"});
        EXPECT_EQ(hash_all(checker), "6/6");
        EXPECT_EQ(ts::outcome([&] { checker.sha256(dir / "inst"); }), "22 (IO error)");
        EXPECT_TRUE(log->has("Error: HASH: \"" + (dir / "inst").string() + "\": open: Not a regular file"));
        EXPECT_THROW(checker.sha256(dir / "inst" / "a" / "x"), fs::filesystem_error) << "stat: Not a directory";
    }
    EXPECT_EQ(cached(), "a b ");
    upd::checker_t again(dir.path());
    again.add({dir / "inst" / "a", dir / "inst" / "b", dir / "inst" / "old"});
    EXPECT_EQ(hash_all(again), "3/3") << "only the uncached file";
    fs::remove(dir / "tavik-update.cache");
    fs::create_directories(dir / "tavik-update.cache");
    { upd::checker_t unwritable(dir.path()); }
    EXPECT_TRUE(log->has("Warning: Cache: \"" + (dir / "tavik-update.cache").string() + "\": rename: Is a directory"));
}

TEST_F(checker_test, records_made_in_any_order_merge_into_one_sorted_cache_that_a_walk_reads_in_order) {
    std::vector<fs::path> files;  // more than one merge's worth, hashed from the last to the first
    for (int i = 0; i < 1500; ++i) files.push_back(dir / "many" / ("f" + std::to_string(10000 + i)));
    for (const fs::path& f : files) ts::spit(f, f.filename().string());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    {
        upd::checker_t checker(dir.path());
        for (auto f = files.rbegin(); f != files.rend(); ++f) checker.md5(*f);
    }
    upd::Cache saved;
    ASSERT_TRUE(saved.ParseFromString(ts::slurp(dir / "tavik-update.cache")));
    ASSERT_EQ(saved.crcs_size(), 1500);
    for (int i = 0; i < 1500; ++i) ASSERT_EQ(saved.crcs(i).path(), files[static_cast<std::size_t>(i)].string());
    upd::checker_t checker(dir.path());
    checker.add(files);
    EXPECT_EQ(hash_all(checker), "0/0") << "every record found";
    // In order, past gaps and the last record, then back: each the file's own digest.
    upd::checker_t::walk_t walk;
    ts::spit(dir / "many" / "f10000x", "between two records");
    for (const fs::path& p : {files[0], dir / "many" / "f10000x", files[700], files[1499], dir / "z", files[1]})
        EXPECT_EQ(checker.sha256(p.string(), walk), fs::exists(p) ? upd::checker_t::hash_file(p).first : "") << p;
}

TEST(checker, paths_order_as_the_path_type_compares_them) {
    const char* paths[] = {"",     "/",   "//", "//a", "/a", "/a/", "/a//b", "/a/b", "/a/b/", "/a-b",
                           "/a.b", "/ab", "/b", "a",   "a/", "a/b", "a//b",  "a-b",  "ab",    "/a/b/c"};
    for (const fs::path x : paths)
        for (const fs::path y : paths)
            EXPECT_EQ(upd::checker_t::compare_paths(x, y), (x.compare(y) > 0) - (x.compare(y) < 0)) << x << " vs " << y;
}

}  // namespace
