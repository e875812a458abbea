// The file checker: digests, trust in the hash cache by file identity, the cache file's life,
// progress reports, interruption and unreadable files.
#include "files/checker.hpp"

#include "control/progress.hpp"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "support/test_support.hpp"

#include "upd_cache.pb.h"

#include <gtest/gtest.h>

#include <boost/asio/io_service.hpp>
#include <boost/filesystem.hpp>
#include <boost/thread/thread.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace {

using test_support::write_file;

class recording_watcher_t : public upd::progress_watcher_t {
public:
    void on_check_progress(const tvk::UpdateCheckProgress& progress) override {
        checks.emplace_back(progress.bytes_to_check(), progress.bytes_checked());
    }
    void on_download_progress(const tvk::UpdateDownloadProgress&) override {}
    void on_stat(const tvk::UpdateAppStat&) override {}

    std::vector<std::pair<std::uint32_t, std::uint32_t>> checks;
};

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// First word of a command's output: the reference digest tools print the hex digest first.
std::string first_word_of(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char buffer[256] = {};
    if (!pipe || !std::fgets(buffer, sizeof buffer, pipe.get())) return std::string();
    std::string line(buffer);
    return line.substr(0, line.find(' '));
}

struct stat stat_of(const fs::path& path) {
    struct stat st = {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

// Waits until the clock has left the second of the file's last status change, so that the
// checker may cache it.
void wait_past_ctime(const fs::path& path) {
    const std::time_t ctime = stat_of(path).st_ctime;
    while (std::time(nullptr) <= ctime) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Waits for the start of a new second, leaving almost a whole second for quick steps.
void wait_next_second() {
    const std::time_t now = std::time(nullptr);
    while (std::time(nullptr) == now) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

upd::Cache read_cache(const fs::path& path) {
    upd::Cache cache;
    std::ifstream in(path.string(), std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    EXPECT_TRUE(cache.ParseFromIstream(&in)) << path;
    return cache;
}

void write_cache(const fs::path& path, const upd::Cache& cache) {
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(cache.SerializeToOstream(&out));
}

std::set<std::string> cached_paths(const fs::path& cache_file) {
    std::set<std::string> paths;
    const upd::Cache cache = read_cache(cache_file);
    for (const auto& crc : cache.crcs()) paths.insert(crc.path());
    return paths;
}

const std::string fake_sha256(32, '\x11');
const std::string fake_md5(16, '\x22');

class CheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / fs::unique_path("checker-test-%%%%-%%%%-%%%%");
        fs::create_directories(dir_);
        fs::permissions(dir_, fs::owner_all | fs::group_read | fs::group_exe | fs::others_read |
                                  fs::others_exe);
        cache_file_ = dir_ / "tavik-update.cache";
        log_ = std::make_shared<test_support::capture_log_t>();
        set_log(log_);
        saved_level_ = cf_log_t::level_;
        cf_log_t::level_ = cf_log_t::debug;
    }
    void TearDown() override {
        cf_log_t::level_ = saved_level_;
        reset_log_for_tests();
        fs::remove_all(dir_);
    }

    std::vector<std::string> lines(cf_log_t::level_t level) const {
        std::vector<std::string> result;
        for (const auto& line : log_->lines) {
            if (line.first == level) result.push_back(line.second);
        }
        return result;
    }

    // A cache record claiming the given file has the fake digests, with its identity altered by
    // the given amounts.
    upd::FileCrc fake_record(const fs::path& path, std::uint64_t dev_delta = 0,
                             std::uint64_t ino_delta = 0, std::int64_t ctime_delta = 0) {
        struct stat st = stat_of(path);
        upd::FileCrc crc;
        crc.set_path(path.string());
        crc.set_dev(static_cast<std::uint32_t>(st.st_dev) + dev_delta);
        crc.set_ino(static_cast<std::uint32_t>(st.st_ino) + ino_delta);
        crc.set_ctime(static_cast<std::uint64_t>(static_cast<std::int64_t>(st.st_ctime) + ctime_delta));
        crc.set_sha256(fake_sha256);
        crc.set_md5(fake_md5);
        return crc;
    }

    fs::path dir_;
    fs::path cache_file_;
    std::shared_ptr<test_support::capture_log_t> log_;
    int saved_level_ = cf_log_t::error;
};

int sign(int v) { return (v > 0) - (v < 0); }

TEST(CheckerPathOrder, OrdersAndMatchesExactlyAsPathsCompare) {
    const std::vector<std::string> paths = {
        "", "/", "//", "///", "/a", "a", "/a/b", "/a-b", "/a b", "/a.b", "/a/b/", "/a//b", "//net/a",
        "/a/b/c", "/ab", "/A", "+a", "/a/./b", "/a/../b", ".", "..", "a/b", "a\x7f", "/a\xff/b",
        "/usr/lib/x", "/usr/lib/x.so", "/usr/lib-x", "/usr/lib/", "/usr/lib", "/a/b//", "/a/ /b",
        "a//b", "a/c", "a/", "a/+", "a//c", "///a", "//a", "/b", "a//", "/a/+", "a/b/!", "a/b/",
        "/a//", "/a/!", "/a/b/!", "//a/b", "//a//b", "/a//c", "a/b//c", "a/b/+", "//", "/!",
    };
    for (const auto& a : paths) {
        for (const auto& b : paths) {
            EXPECT_EQ(upd::checker_t::compare_paths(a, b), sign(fs::path(a).compare(fs::path(b))))
                << "\"" << a << "\" vs \"" << b << "\"";
        }
    }
}

TEST_F(CheckerTest, DigestsMatchTheReferenceTools) {
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"abc", "abc"},
        {"one below a chunk", std::string(8191, 'q')},
        {"one chunk", std::string(8192, 'r')},
        {"one above a chunk", std::string(8193, 's')},
        {"a million a", std::string(1000000, 'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path file = dir_ / "data";
        write_file(file, c.content);
        upd::checker_t::digests_t d = upd::checker_t::hash_file(file);
        EXPECT_EQ(hex(d.first), first_word_of("sha256sum '" + file.string() + "'"));
        EXPECT_EQ(hex(d.second), first_word_of("md5sum '" + file.string() + "'"));
    }
    // Anchors for the tools themselves.
    write_file(dir_ / "abc", "abc");
    upd::checker_t::digests_t abc = upd::checker_t::hash_file(dir_ / "abc");
    EXPECT_EQ(hex(abc.first), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(abc.second), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(CheckerTest, CacheIsSavedAndTrustedByTheNextChecker) {
    fs::path a = dir_ / "a", b = dir_ / "b";
    write_file(a, "first file");
    write_file(b, "second file");
    wait_past_ctime(b);
    std::string real_a;
    {
        upd::checker_t checker(dir_);
        real_a = checker.sha256(a);
        EXPECT_EQ(checker.md5(b).size(), 16u);
    }
    EXPECT_EQ(lines(cf_log_t::debug), std::vector<std::string>{"Checker: no cache"});
    ASSERT_TRUE(fs::exists(cache_file_));
    EXPECT_EQ(fs::status(cache_file_).permissions(), fs::owner_read | fs::owner_write);
    EXPECT_EQ(cached_paths(cache_file_), (std::set<std::string>{a.string(), b.string()}));
    upd::Cache saved = read_cache(cache_file_);
    ASSERT_EQ(saved.crcs_size(), 2);
    EXPECT_EQ(saved.crcs(0).sha256(), real_a);
    EXPECT_EQ(saved.crcs(0).ino(), static_cast<std::uint32_t>(stat_of(a).st_ino));

    // Replace the stored digests: if the next checker returns them, it did not read the file.
    for (auto& crc : *saved.mutable_crcs()) {
        crc.set_sha256(fake_sha256);
        crc.set_md5(fake_md5);
    }
    write_cache(cache_file_, saved);
    log_->lines.clear();
    upd::checker_t checker(dir_);
    EXPECT_EQ(lines(cf_log_t::debug), std::vector<std::string>{"Checker: 2 records loaded"});
    EXPECT_EQ(checker.sha256(a), fake_sha256);
    EXPECT_EQ(checker.md5(b), fake_md5);
}

TEST_F(CheckerTest, CachedDigestsAreTrustedOnlyForTheSameIdentity) {
    fs::path file = dir_ / "file";
    write_file(file, "content");
    wait_past_ctime(file);
    const std::string real = upd::checker_t::hash_file(file).first;
    const struct {
        const char* name;
        std::uint64_t dev_delta;
        std::uint64_t ino_delta;
        std::int64_t ctime_delta;
        bool trusted;
    } cases[] = {
        {"same identity", 0, 0, 0, true},
        {"only low 32 bits of the fields count", 1ull << 32, 1ull << 32, 0, true},
        {"other device", 1, 0, 0, false},
        {"other inode", 0, 1, 0, false},
        {"later status change", 0, 0, 1, false},
        {"earlier status change", 0, 0, -1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        upd::Cache cache;
        *cache.add_crcs() = fake_record(file, c.dev_delta, c.ino_delta, c.ctime_delta);
        write_cache(cache_file_, cache);
        {
            upd::checker_t checker(dir_);
            EXPECT_EQ(checker.sha256(file), c.trusted ? fake_sha256 : real);
        }
        // A stale record is replaced by the file's real identity and digests.
        upd::Cache saved = read_cache(cache_file_);
        ASSERT_EQ(saved.crcs_size(), 1);
        EXPECT_EQ(saved.crcs(0).sha256(), c.trusted ? fake_sha256 : real);
        if (!c.trusted) {
            EXPECT_EQ(saved.crcs(0).ino(), static_cast<std::uint32_t>(stat_of(file).st_ino));
            EXPECT_EQ(saved.crcs(0).ctime(), static_cast<std::uint64_t>(stat_of(file).st_ctime));
        }
    }
}

TEST_F(CheckerTest, FileChangedAfterCachingIsHashedAgain) {
    const fs::path file = dir_ / "file";
    const struct {
        const char* name;
        std::function<void()> change;
        const char* content_after;
    } cases[] = {
        {"modified in place: same inode, later status change",
         [&] { write_file(file, "new content"); }, "new content"},
        {"replaced by equal content under a new inode",
         [&] {
             // Created while the old file still exists, so the inode cannot be reused.
             write_file(dir_ / "replacement", "old content");
             const ino_t old_ino = stat_of(file).st_ino;
             fs::rename(dir_ / "replacement", file);
             EXPECT_NE(stat_of(file).st_ino, old_ino);
         },
         "old content"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, "old content");
        wait_past_ctime(file);
        upd::Cache cache;
        *cache.add_crcs() = fake_record(file);
        write_cache(cache_file_, cache);
        {
            upd::checker_t checker(dir_);
            ASSERT_EQ(checker.sha256(file), fake_sha256);  // trusted while the file is the same
        }
        c.change();
        write_file(dir_ / "expected", c.content_after);
        upd::checker_t checker(dir_);
        EXPECT_EQ(checker.sha256(file), upd::checker_t::hash_file(dir_ / "expected").first);
    }
}

TEST_F(CheckerTest, FileChangedInTheCurrentSecondIsHashedOnEveryQueryAndNotSaved) {
    fs::path file = dir_ / "file";
    write_file(dir_ / "one", "version one");
    write_file(dir_ / "two", "version two");
    const std::string one = upd::checker_t::hash_file(dir_ / "one").first;
    const std::string two = upd::checker_t::hash_file(dir_ / "two").first;
    bool done = false;
    for (int attempt = 0; attempt < 5 && !done; ++attempt) {
        fs::remove(cache_file_);
        wait_next_second();
        {
            upd::checker_t checker(dir_);
            write_file(file, "version one");
            EXPECT_EQ(checker.sha256(file), one);
            write_file(file, "version two");  // same inode, and the same ctime second
            EXPECT_EQ(checker.sha256(file), two);
            // Only a run that stayed within one second shows what it must.
            done = std::time(nullptr) == stat_of(file).st_ctime;
        }
        if (done) {
            EXPECT_TRUE(cached_paths(cache_file_).empty());
        }
    }
    EXPECT_TRUE(done) << "could not stay within one second";
}

TEST_F(CheckerTest, FreshFileVerifiedBySha256AloneStillGivesItsMd5OnRequest) {
    // A file changed in the current second is not cached, so sha256() skips MD5; md5() must not
    // then answer with an empty or stale digest.
    fs::path file = dir_ / "fresh";
    upd::checker_t checker(dir_);
    write_file(file, "abc");
    EXPECT_EQ(hex(checker.sha256(file)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(checker.md5(file)), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex(checker.sha256(file)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(CheckerTest, CacheFileStatesAtLoading) {
    const std::string quoted = "\"" + cache_file_.string() + "\"";
    const struct {
        const char* name;
        bool present;
        std::string content;
        std::vector<std::string> debug;
        std::vector<std::string> warning;
    } cases[] = {
        {"missing", false, "", {"Checker: no cache"}, {}},
        {"empty", true, "", {"Checker: 0 records loaded"}, {}},
        {"garbage", true, "garbage, not a cache", {}, {"Cache: " + quoted + ": invalid format"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(cache_file_);
        if (c.present) write_file(cache_file_, c.content);
        log_->lines.clear();
        {
            upd::checker_t checker(dir_);
            EXPECT_EQ(lines(cf_log_t::debug), c.debug);
            EXPECT_EQ(lines(cf_log_t::warning), c.warning);
        }
        EXPECT_TRUE(lines(cf_log_t::error).empty());
    }
}

// One serialized upd.FileCrc wrapped as field 1 of upd.Cache, with extra bytes inside the record.
std::string wrapped_record(const upd::FileCrc& crc, const std::string& extra = "") {
    std::string body = crc.SerializePartialAsString() + extra;
    EXPECT_LT(body.size(), 128u);
    return std::string("\x0a") + static_cast<char>(body.size()) + body;
}

TEST_F(CheckerTest, CacheFileIsParsedByTheRulesOfTheSchema) {
    upd::FileCrc a = fake_record(dir_), b = fake_record(dir_);
    a.set_path("/x/a");
    b.set_path("/x/b");
    upd::Cache two;
    *two.add_crcs() = a;
    *two.add_crcs() = b;
    const std::string valid = two.SerializeAsString();
    const struct {
        const char* name;
        std::string bytes;
        int records;  // -1: refused as invalid
    } cases[] = {
        {"two records", valid, 2},
        {"unknown field after the records", valid + "\x10\x05", 2},
        {"unknown field inside a record", wrapped_record(a, std::string("\x28\x01", 2)), 1},
        {"field 1 with another wire type", "\x08\x01" + valid, 2},
        {"truncated inside a record", valid.substr(0, valid.size() - 3), -1},
        {"truncated length", valid + "\x0a", -1},
        {"length beyond the end", valid + "\x0a\x7f\x0a\x01", -1},
        {"zero tag", valid + std::string(1, '\0'), -1},
        {"end of a group never started", valid + "\x0c", -1},
        {"group never ended", valid + "\x0b", -1},
        {"record without required fields", valid + std::string("\x0a\x00", 2), -1},
    };
    const std::string quoted = "\"" + cache_file_.string() + "\"";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The generated parser is the reference for what the file means.
        upd::Cache reference;
        const bool parses = reference.ParseFromString(c.bytes);
        ASSERT_EQ(parses, c.records >= 0);
        if (parses) {
            ASSERT_EQ(reference.crcs_size(), c.records);
        }

        write_file(cache_file_, c.bytes);
        log_->lines.clear();
        { upd::checker_t checker(dir_); }
        if (c.records >= 0) {
            EXPECT_EQ(lines(cf_log_t::debug),
                      std::vector<std::string>{"Checker: " + std::to_string(c.records) + " records loaded"});
            EXPECT_TRUE(lines(cf_log_t::warning).empty());
        } else {
            EXPECT_TRUE(lines(cf_log_t::debug).empty());
            EXPECT_EQ(lines(cf_log_t::warning), std::vector<std::string>{"Cache: " + quoted + ": invalid format"});
        }
    }
}

TEST_F(CheckerTest, RecordsAreKeptExactlyForPathsThatStillExist) {
    // Enough files in one directory that it is read as a whole, and a few elsewhere.
    const fs::path many = dir_ / "many", few = dir_ / "few", gone_dir = dir_ / "gone-dir";
    fs::create_directories(many);
    fs::create_directories(few);
    fs::create_directories(gone_dir);
    const struct {
        fs::path path;
        enum { file, link_to_file, dangling_link } kind;
        bool removed;  // the file (or the link's target) is deleted before saving
    } entries[] = {
        {many / "f00", entries[0].file, false}, {many / "f01", entries[0].file, true},
        {many / "f02", entries[0].file, false}, {many / "f03", entries[0].file, true},
        {many / "f04", entries[0].file, false}, {many / "f05", entries[0].file, false},
        {many / "f06", entries[0].file, true},  {many / "f07", entries[0].file, false},
        {many / "f08", entries[0].file, false}, {many / "f09", entries[0].file, true},
        {many / "f10", entries[0].file, false}, {many / "f11", entries[0].file, false},
        // Named to come after the directory has been read as a whole.
        {many / "z-link", entries[0].link_to_file, false},
        {many / "z-dangling", entries[0].dangling_link, false},
        {few / "kept", entries[0].file, false}, {few / "deleted", entries[0].file, true},
        {few / "dangling", entries[0].dangling_link, false},
    };
    std::set<std::string> expected;
    upd::Cache cache;
    for (const auto& e : entries) {
        if (e.kind == e.file) write_file(e.path, "x");
        if (e.kind == e.link_to_file) fs::create_symlink(many / "f00", e.path);
        if (e.kind == e.dangling_link) fs::create_symlink(dir_ / "nowhere", e.path);
        upd::FileCrc crc = fake_record(dir_);
        crc.set_path(e.path.string());
        *cache.add_crcs() = crc;
        if (!e.removed && e.kind != e.dangling_link) expected.insert(e.path.string());
    }
    for (int i = 0; i < 12; ++i) {  // a whole directory that goes away
        upd::FileCrc crc = fake_record(dir_);
        crc.set_path((gone_dir / ("g" + std::to_string(i))).string());
        *cache.add_crcs() = crc;
    }
    for (int i = 0; i < 12; ++i) {  // below a file: stat gives ENOTDIR
        upd::FileCrc crc = fake_record(dir_);
        crc.set_path((many / "f00" / ("sub" + std::to_string(i))).string());
        *cache.add_crcs() = crc;
    }
    write_cache(cache_file_, cache);
    for (const auto& e : entries) {
        if (e.removed) fs::remove(e.path);
    }
    fs::remove_all(gone_dir);

    { upd::checker_t checker(dir_); }
    EXPECT_EQ(cached_paths(cache_file_), expected);
}

TEST_F(CheckerTest, LaterRecordForTheSamePathWins) {
    fs::path file = dir_ / "file";
    write_file(file, "content");
    wait_past_ctime(file);
    upd::Cache cache;
    *cache.add_crcs() = fake_record(file);
    upd::FileCrc second = fake_record(file);
    second.set_sha256(std::string(32, '\x33'));
    *cache.add_crcs() = second;
    write_cache(cache_file_, cache);
    upd::checker_t checker(dir_);
    EXPECT_EQ(lines(cf_log_t::debug), std::vector<std::string>{"Checker: 2 records loaded"});
    EXPECT_EQ(checker.sha256(file), std::string(32, '\x33'));
}

TEST_F(CheckerTest, UnwritableCacheIsWarnedAboutAndTheRunGoesOn) {
    fs::create_directory(cache_file_);
    const std::string quoted = "\"" + cache_file_.string() + "\"";
    {
        upd::checker_t checker(dir_);
        write_file(dir_ / "file", "x");
        EXPECT_EQ(checker.md5(dir_ / "file").size(), 16u);
    }
    // Reading a directory fails at parsing; creating it fails at opening.
    EXPECT_EQ(lines(cf_log_t::warning),
              (std::vector<std::string>{"Cache: " + quoted + ": invalid format",
                                        "Cache: " + quoted + ": open: Is a directory"}));
}

TEST_F(CheckerTest, RecordsOfDeletedFilesAreDroppedAndUntouchedOnesKept) {
    fs::path keep = dir_ / "keep", gone = dir_ / "gone";
    write_file(keep, "kept");
    write_file(gone, "deleted later");
    wait_past_ctime(gone);
    { upd::checker_t checker(dir_); checker.sha256(keep); checker.sha256(gone); }
    ASSERT_EQ(cached_paths(cache_file_), (std::set<std::string>{keep.string(), gone.string()}));

    fs::remove(gone);
    { upd::checker_t checker(dir_); }  // loads both, queries nothing
    EXPECT_EQ(cached_paths(cache_file_), std::set<std::string>{keep.string()});
}

TEST_F(CheckerTest, MissingFileHasEmptyDigestsAndNoRecord) {
    {
        upd::checker_t checker(dir_);
        EXPECT_EQ(checker.sha256(dir_ / "missing"), "");
        EXPECT_EQ(checker.md5(dir_ / "missing"), "");
    }
    EXPECT_TRUE(cached_paths(cache_file_).empty());
    EXPECT_TRUE(lines(cf_log_t::error).empty());
}

TEST_F(CheckerTest, StatFailureOtherThanMissingIsThrown) {
    write_file(dir_ / "plain", "x");
    fs::path below_file = dir_ / "plain" / "sub";
    upd::checker_t checker(dir_);
    try {
        checker.sha256(below_file);
        ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.path1(), below_file);
        EXPECT_EQ(e.code(), boost::system::errc::make_error_condition(boost::system::errc::not_a_directory));
        EXPECT_EQ(std::string(e.what()).substr(0, 5), "stat:");
    }
}

TEST_F(CheckerTest, ReadFailureThrowsIoErrorAndCachesNothing) {
    // A directory opens read-only, but reading it fails: no digest of "what was read so far".
    fs::path sub = dir_ / "sub";
    fs::create_directory(sub);
    wait_past_ctime(sub);
    const std::string expected_line = "HASH: \"" + sub.string() + "\": read: Is a directory";
    {
        upd::checker_t checker(dir_);
        const struct {
            const char* name;
            std::function<void()> call;
        } calls[] = {
            {"hash_file", [&] { upd::checker_t::hash_file(sub); }},
            {"sha256", [&] { checker.sha256(sub); }},
            {"md5", [&] { checker.md5(sub); }},
        };
        for (const auto& c : calls) {
            SCOPED_TRACE(c.name);
            log_->lines.clear();
            try {
                c.call();
                ADD_FAILURE() << "no exception";
            } catch (tvk::ErrorCode code) {
                EXPECT_EQ(code, tvk::EC_IO_ERROR);
            }
            EXPECT_EQ(lines(cf_log_t::error), std::vector<std::string>{expected_line});
        }
    }
    EXPECT_TRUE(cached_paths(cache_file_).empty());
}

TEST_F(CheckerTest, UnreadableFileThrowsIoErrorAfterTheHashLine) {
    fs::path file = dir_ / "secret";
    write_file(file, "no one may read this");
    fs::permissions(file, fs::no_perms);
    uid_t unprivileged = 0;
    gid_t unprivileged_group = 0;
    if (::geteuid() == 0) {
        struct passwd* pw = ::getpwnam("nobody");
        if (!pw) GTEST_SKIP() << "running as root and there is no account to drop to";
        unprivileged = pw->pw_uid;
        unprivileged_group = pw->pw_gid;
    }
    // In a child, so that dropping privileges does not affect the other tests.
    EXPECT_EXIT(
        {
            if (::geteuid() == 0 && (::setgid(unprivileged_group) != 0 || ::setuid(unprivileged) != 0)) {
                std::fprintf(stderr, "cannot drop privileges\n");
                std::_Exit(4);
            }
            int status = 2;
            try {
                upd::checker_t checker(dir_);
                checker.sha256(file);
            } catch (tvk::ErrorCode code) {
                status = code == tvk::EC_IO_ERROR ? 0 : 3;
            }
            for (const auto& line : lines(cf_log_t::error)) std::fprintf(stderr, "%s\n", line.c_str());
            std::_Exit(status);
        },
        ::testing::ExitedWithCode(0), "HASH: \"[^\"]*/secret\": open: Permission denied");
}

TEST_F(CheckerTest, HashAllReportsTheUncachedBytesAndCachesThem) {
    fs::path cached = dir_ / "cached", small = dir_ / "small", large = dir_ / "large",
             empty = dir_ / "empty", missing = dir_ / "missing";
    write_file(cached, std::string(700, 'c'));
    write_file(small, std::string(100, 's'));
    write_file(large, std::string(50000, 'l'));
    write_file(empty, "");
    wait_past_ctime(empty);
    upd::Cache cache;
    *cache.add_crcs() = fake_record(cached);
    write_cache(cache_file_, cache);

    boost::asio::io_service io;
    recording_watcher_t watcher;
    upd::progress_t progress(io, &watcher);
    {
        upd::checker_t checker(dir_);
        checker.add({small, cached, missing});
        checker.add({large, small, empty});
        checker.hash_all(progress);
        io.poll();
        // Notifications coalesce: the last state arrives, with the bytes of the two files that
        // the cache did not cover.
        EXPECT_EQ(watcher.checks, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{50100, 50100}}));
        EXPECT_EQ(checker.sha256(cached), fake_sha256);
    }
    EXPECT_EQ(cached_paths(cache_file_),
              (std::set<std::string>{cached.string(), empty.string(), large.string(), small.string()}));
    EXPECT_TRUE(lines(cf_log_t::error).empty());
}

TEST_F(CheckerTest, HashAllProgressSeenLiveIsAPrefixSumInPathOrder) {
    std::vector<fs::path> files;
    std::vector<std::uint32_t> sums{0};
    for (int i = 0; i < 60; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%03d", i);
        files.push_back(dir_ / name);
        write_file(files.back(), std::string(20000 + 1000 * i, 'x'));
        sums.push_back(sums.back() + 20000 + 1000 * i);
    }
    boost::asio::io_service io;
    recording_watcher_t watcher;
    upd::progress_t progress(io, &watcher);
    upd::checker_t checker(dir_);
    checker.add(std::vector<fs::path>(files.rbegin(), files.rend()));
    std::future<void> done = std::async(std::launch::async, [&] { checker.hash_all(progress); });
    while (done.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        io.poll();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    done.get();
    io.poll();

    ASSERT_FALSE(watcher.checks.empty());
    EXPECT_EQ(watcher.checks.back().second, sums.back());
    std::uint32_t previous = 0;
    for (const auto& check : watcher.checks) {
        EXPECT_EQ(check.first, sums.back());
        EXPECT_NE(std::find(sums.begin(), sums.end(), check.second), sums.end()) << check.second;
        EXPECT_GE(check.second, previous);
        previous = check.second;
    }
}

TEST_F(CheckerTest, InterruptedHashAllStopsBeforeTheFirstFile) {
    fs::path file = dir_ / "file";
    write_file(file, "content");
    wait_past_ctime(file);
    boost::asio::io_service io;
    recording_watcher_t watcher;
    upd::progress_t progress(io, &watcher);
    {
        upd::checker_t checker(dir_);
        checker.add({file});
        std::promise<void> go;
        std::shared_future<void> started = go.get_future().share();
        bool interrupted = false;
        boost::thread worker([&] {
            started.wait();
            try {
                checker.hash_all(progress);
            } catch (const boost::thread_interrupted&) {
                interrupted = true;
            }
        });
        worker.interrupt();  // pending until the worker's first interruption point
        go.set_value();
        worker.join();
        EXPECT_TRUE(interrupted);
    }
    io.poll();
    EXPECT_TRUE(watcher.checks.empty());
    EXPECT_TRUE(cached_paths(cache_file_).empty());
}

}  // namespace
