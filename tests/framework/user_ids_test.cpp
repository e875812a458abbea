// Handing a tree to the run-as account, down to 64 levels, not what a link leads to.
#include "framework/user_ids.hpp"
#include "tests/support/support.hpp"

#include <pwd.h>
#include <sys/stat.h>

namespace {

TEST(user_ids, no_link_target_changes_hands) {
    tvk::LocalUser nobody;
    nobody.set_name("nobody");
    user_ids_t user = resolve_user(nobody);
    ts::scratch_t dir;
    const ts::fs::path tree = dir / "var", outside = dir / "outside";
    ts::spit(tree / "bases" / "a.avc", "a"), ts::spit(outside / "secret", "s");
    ts::fs::create_symlink(outside, tree / "link-to-dir"),
        ts::fs::create_symlink(outside / "secret", tree / "bases" / "link-to-file");
    ts::fs::create_hard_link(outside / "secret", tree / "bases" / "hard-link");  // any file a user may link to
    EXPECT_THROW(take_ownership(user, tree / "bases" / "a.avc"), ts::fs::filesystem_error);
    EXPECT_THROW(take_ownership(user, dir / "missing"), ts::fs::filesystem_error);
    if (::geteuid() != 0) GTEST_SKIP() << "handing files to another account needs root";
    auto log = ts::capture_log_t::install();
    ASSERT_EQ(::chown((tree / "bases" / "a.avc").c_str(), user.uid, 0), 0);  // the owner already, not the group
    ts::fs::path level_64 = tree;                                            // and two levels below it
    for (int level = 1; level <= 64; ++level) level_64 /= "d";
    ts::fs::create_directories(level_64 / "d" / "d");
    take_ownership(user, tree);
    for (const auto& p :
         {tree, tree / "bases", tree / "bases" / "a.avc", level_64, outside, outside / "secret", level_64 / "d"}) {
        struct stat st {};
        ASSERT_EQ(::lstat(p.c_str(), &st), 0) << p;
        const bool given = p.string().find("outside") == std::string::npos && p != level_64 / "d";
        EXPECT_EQ(std::make_pair(st.st_uid, st.st_gid),
                  given ? std::make_pair(user.uid, user_gid(user)) : std::make_pair(0u, 0u))
            << p;
    }
    EXPECT_TRUE(
        log->has("Warning: Ownership not taken: \"" + (tree / "bases" / "hard-link").string() + "\" has 2 links"));
    EXPECT_TRUE(log->has("Warning: Ownership not taken below \"" + level_64.string() + "\": deeper than 64 levels"));
}

}  // namespace
