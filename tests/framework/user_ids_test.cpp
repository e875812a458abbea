// Account resolution, its text form and handing a tree over without following links.
#include "framework/user_ids.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "support/test_support.hpp"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

tvk::LocalUser local_user(const char* name, long long uid, bool has_name, bool has_uid) {
    tvk::LocalUser user;
    if (has_name) user.set_name(name);
    if (has_uid) user.set_uid(uid);
    return user;
}

struct resolve_case_t {
    const char* title;
    tvk::LocalUser user;
    std::uint32_t uid;
    bool gid_known;
    const char* text;
};

TEST(resolve_user, uid_wins_over_name_and_name_is_looked_up_otherwise) {
    const resolve_case_t cases[] = {
        {"uid alone, gid unknown", local_user("", 4242, false, true), 4242, false, "4242"},
        {"uid wins, an unknown name is never looked up", local_user("no-such-user-tavik", 4243, true, true), 4243,
         false, "4243"},
        {"uid keeps its low 32 bits", local_user("", (1LL << 32) + 7, false, true), 7, false, "7"},
        {"name of root gives uid and gid", local_user("root", 0, true, false), 0, true, "0:0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const user_ids_t ids = resolve_user(c.user);
        EXPECT_EQ(ids.uid, c.uid);
        EXPECT_EQ(ids.gid_known, c.gid_known);
        EXPECT_EQ(user_text(ids), c.text);
    }
}

TEST(resolve_user, unknown_or_missing_name_throws_the_lookup_text) {
    const struct {
        const char* title;
        tvk::LocalUser user;
        std::string prefix;
    } cases[] = {
        {"neither field looks up the empty name", local_user("", 0, false, false), "getpwnam(\"\"): "},
        {"unknown name", local_user("no-such-user-tavik", 0, true, false), "getpwnam(\"no-such-user-tavik\"): "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        try {
            resolve_user(c.user);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            const std::string text = e.what();
            EXPECT_EQ(text.compare(0, c.prefix.size(), c.prefix), 0) << text;
            EXPECT_GT(text.size(), c.prefix.size()) << "reason missing";
        }
    }
}

TEST(user_gid, looked_up_once_then_shown_in_the_text) {
    user_ids_t ids = resolve_user(local_user("", 0, false, true));
    EXPECT_EQ(user_text(ids), "0");
    EXPECT_EQ(user_gid(ids), 0u);
    EXPECT_TRUE(ids.gid_known);
    EXPECT_EQ(user_text(ids), "0:0");

    // A known gid is never looked up again, even for a uid that has no entry.
    user_ids_t given;
    given.uid = 4000000000u;
    given.gid = 77;
    given.gid_known = true;
    EXPECT_EQ(user_gid(given), 77u);
    EXPECT_EQ(user_text(given), "4000000000:77");
}

TEST(user_gid, uid_without_entry_throws_the_lookup_text) {
    user_ids_t ids;
    ids.uid = 4000000000u;
    ASSERT_EQ(::getpwuid(ids.uid), nullptr) << "test needs a uid without an entry";
    try {
        user_gid(ids);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("getpwuid(4000000000): ", 0), 0u) << e.what();
    }
    EXPECT_FALSE(ids.gid_known);
}

class take_ownership_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavik-user-ids-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base_ = pattern;
        tree_ = base_ / "tree";
        fs::create_directories(tree_ / "sub");
        write_file(tree_ / "file");
        write_file(tree_ / "sub" / "nested");
        write_file(base_ / "outside");
        fs::create_directory(base_ / "outside_dir");
        write_file(base_ / "outside_dir" / "secret");
        fs::create_symlink(base_ / "outside", tree_ / "link_to_file");
        fs::create_symlink(base_ / "outside_dir", tree_ / "link_to_dir");
        sink_ = std::make_shared<test_support::text_log_t>();
        cf_log_t::level_ = cf_log_t::debug;
        set_log(sink_);
    }
    void TearDown() override {
        reset_log_for_tests();
        boost::system::error_code ec;
        fs::remove_all(base_, ec);
        EXPECT_FALSE(fs::exists(base_));
    }
    static void write_file(const fs::path& p) { std::ofstream(p.string()) << "data"; }
    static struct stat lstat_of(const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
        return st;
    }
    static user_ids_t nobody() {
        const struct passwd* pw = ::getpwnam("nobody");
        user_ids_t ids;
        ids.uid = pw ? pw->pw_uid : 65534;
        ids.gid = pw ? pw->pw_gid : 65534;
        ids.gid_known = true;
        return ids;
    }
    fs::path base_, tree_;
    std::shared_ptr<test_support::text_log_t> sink_;
};

TEST_F(take_ownership_test, missing_path_and_non_directory_are_refused) {
    user_ids_t me;
    me.uid = ::getuid();
    const struct {
        const char* title;
        fs::path path;
        boost::system::error_code code;
        const char* step;
    } cases[] = {
        {"missing", base_ / "absent", boost::system::error_code(ENOENT, boost::system::system_category()), "lstat"},
        {"regular file", tree_ / "file", tvk::make_error_code(tvk::EC_NOT_A_DIRECTORY), "take_ownership"},
        {"link to a directory", tree_ / "link_to_dir", tvk::make_error_code(tvk::EC_NOT_A_DIRECTORY),
         "take_ownership"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        try {
            take_ownership(me, c.path);
            ADD_FAILURE() << "no exception";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), c.code);
            EXPECT_EQ(e.path1(), c.path);
            EXPECT_EQ(std::string(e.what()).rfind(c.step, 0), 0u) << e.what();
        }
    }
}

TEST_F(take_ownership_test, tree_already_owned_changes_and_logs_nothing) {
    user_ids_t me;
    me.uid = ::getuid();
    me.gid = ::getgid();
    me.gid_known = true;
    const struct stat before = lstat_of(tree_ / "file");
    take_ownership(me, tree_);
    EXPECT_TRUE(sink_->lines.empty()) << sink_->lines.front();
    EXPECT_EQ(lstat_of(tree_ / "file").st_ctime, before.st_ctime);
}

TEST_F(take_ownership_test, tree_goes_to_the_account_but_link_targets_outside_stay) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    user_ids_t user = nobody();
    take_ownership(user, tree_);

    for (const char* inside : {"", "sub", "file", "sub/nested"}) {
        const struct stat st = lstat_of(inside[0] ? tree_ / inside : tree_);
        EXPECT_EQ(st.st_uid, user.uid) << inside;
        EXPECT_EQ(st.st_gid, user.gid) << inside;
    }
    // Links are neither changed nor followed: what they point to keeps its owner.
    for (const fs::path& kept : {tree_ / "link_to_file", tree_ / "link_to_dir", base_ / "outside",
                                 base_ / "outside_dir", base_ / "outside_dir" / "secret"}) {
        EXPECT_EQ(lstat_of(kept).st_uid, 0u) << kept;
    }
    // One line per change, with the path in its quoted form; the root comes last.
    EXPECT_EQ(sink_->lines.size(), 4u);
    ASSERT_FALSE(sink_->lines.empty());
    EXPECT_EQ(sink_->lines.back(), "Debug: Ownership taken: \"" + tree_.string() + "\"");

    // A second pass finds everything in place.
    sink_->lines.clear();
    take_ownership(user, tree_);
    EXPECT_TRUE(sink_->lines.empty());
}

TEST_F(take_ownership_test, chown_of_a_link_never_reaches_its_target) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    // The entry could have been swapped for a link after the walk looked at it.
    user_ids_t user = nobody();
    chown_path(user, tree_ / "link_to_file");
    EXPECT_EQ(lstat_of(base_ / "outside").st_uid, 0u);
    EXPECT_EQ(lstat_of(tree_ / "link_to_file").st_uid, user.uid);
    chown_path(user, tree_ / "link_to_dir");
    EXPECT_EQ(lstat_of(base_ / "outside_dir").st_uid, 0u);
}

TEST_F(take_ownership_test, quoted_path_escapes_quote_and_ampersand) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    const fs::path odd = tree_ / "a\"b&c";
    write_file(odd);
    user_ids_t user = nobody();
    chown_path(user, odd);
    ASSERT_EQ(sink_->lines.size(), 1u);
    EXPECT_EQ(sink_->lines[0], "Debug: Ownership taken: \"" + tree_.string() + "/a&\"b&&c\"");
}

TEST_F(take_ownership_test, chown_failure_names_the_step_and_path) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may give files away";
    user_ids_t other;
    other.uid = ::getuid() + 1;
    other.gid = ::getgid();
    other.gid_known = true;
    try {
        take_ownership(other, tree_);
        ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("chown", 0), 0u) << e.what();
        EXPECT_EQ(e.code(), boost::system::error_code(EPERM, boost::system::system_category()));
    }
}

}  // namespace
