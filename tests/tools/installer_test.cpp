// tavik-run's installation: every file or none, modes kept, removals last.
#include "tests/support/support.hpp"
#include "tools/tavik-run/installer.hpp"

#include <sys/stat.h>

namespace {

using namespace tvk;

TEST(installer, all_or_nothing) {
    ts::scratch_t dir;
    const auto path = [&](const std::string& name) { return (dir / name).string(); };
    const std::tuple<std::string, std::string, ErrorCode> rows[] = {
        {path("dl/b"), path("missing/b"), EC_NO_SUCH_ENTRY},
        {path("dl/b"), path("dl"), EC_NOT_A_REGULAR_FILE},
        {path("dl/gone"), path("bases/gone"), EC_NO_SUCH_ENTRY},
        {path("dl/b"), path("bases/b"), EC_OK}};
    ts::spit(dir / "dl" / "a", "new a"), ts::spit(dir / "dl" / "b", "new b");
    ts::spit(dir / "bases" / "a", "old a"), ts::spit(dir / "bases" / "obsolete", "obsolete");
    ::chmod(path("bases/a").c_str(), 0640);
    for (const auto& [from, to, code] : rows) {
        InstallRequest request;
        for (const auto& p : {std::make_pair(path("dl/a"), path("bases/a")), std::make_pair(from, to)}) {
            auto* item = request.add_to_place();
            item->set_source(p.first), item->set_destination(p.second);
        }
        for (const char* name : {"bases/obsolete", "bases/a", "bases/never-there"})
            request.add_to_remove(path(name));  // a: just placed
        const auto outcome = tavik_run::install_files(request);
        EXPECT_EQ(outcome.ok ? EC_OK : outcome.error.code(), code) << outcome.error.what();
        EXPECT_TRUE(outcome.ok || outcome.error.what().find("Cannot copy") != std::string::npos)
            << outcome.error.what();
        EXPECT_EQ(ts::listing(dir / "bases"), outcome.ok ? "a b " : "a obsolete ");
        EXPECT_EQ(ts::slurp(dir / "bases" / "a"), outcome.ok ? "new a" : "old a");
    }
    struct stat a {
    }, b{};
    ::stat(path("bases/a").c_str(), &a), ::stat(path("bases/b").c_str(), &b);
    EXPECT_EQ(a.st_mode & 07777, 0640u) << "the replaced file's mode is kept";
    EXPECT_EQ(b.st_mode & 07777, 0644u) << "a new file is readable by the suite's services";
    EXPECT_EQ(tavik_run::error_code_for_errno(EACCES), EC_PERMISSION_DENIED);
    EXPECT_EQ(tavik_run::error_code_for_errno(ENOSPC), EC_IO_ERROR);
}

}  // namespace
