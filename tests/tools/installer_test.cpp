// Installation of a request: all files or none, no temporaries left, removals after placement.
#include "installer.hpp"

#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using tavik_run::install_files;
using tavik_run::install_outcome_t;

using test_support::exists;
using test_support::listing;
using test_support::read_file;
using test_support::write_file;

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavik-installer-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        src_ = root_ + "/download";
        dst_ = root_ + "/bases";
        ASSERT_EQ(::mkdir(src_.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
        write_file(src_ + "/a.avc", "new a");
        write_file(src_ + "/b.avc", "new b");
        write_file(dst_ + "/a.avc", "old a");
        write_file(dst_ + "/obsolete.avc", "obsolete");
    }
    void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

    void place(const std::string& source, const std::string& destination) {
        tvk::InstallItem* item = request_.add_to_place();
        item->set_source(source);
        item->set_destination(destination);
    }

    std::string root_, src_, dst_;
    tvk::InstallRequest request_;
};

TEST_F(InstallerTest, PlacesEveryFileAndRemovesObsoleteOnes) {
    place(src_ + "/a.avc", dst_ + "/a.avc");
    place(src_ + "/b.avc", dst_ + "/b.avc");
    request_.add_to_remove(dst_ + "/obsolete.avc");
    request_.add_up_to_date(dst_ + "/unchanged.avc");

    const install_outcome_t outcome = install_files(request_);
    ASSERT_TRUE(outcome.ok) << outcome.error.what();
    EXPECT_EQ(read_file(dst_ + "/a.avc"), "new a");
    EXPECT_EQ(read_file(dst_ + "/b.avc"), "new b");
    EXPECT_FALSE(exists(dst_ + "/obsolete.avc"));
    // Nothing but the installed files: no temporaries stay behind.
    EXPECT_EQ(listing(dst_), (std::vector<std::string>{"a.avc", "b.avc"}));
    // The downloads stay where they were; cleaning the work area is the updater's business.
    EXPECT_EQ(read_file(src_ + "/a.avc"), "new a");
    EXPECT_EQ(outcome.placed.size(), 2u);
    EXPECT_EQ(outcome.removed, (std::vector<std::string>{dst_ + "/obsolete.avc"}));
}

TEST_F(InstallerTest, FailedCopyChangesNothingAndLeavesNoTemporaries) {
    const struct {
        const char* name;
        std::string source;
        std::string destination;
        tvk::ErrorCode code;
        bool as_root_too;  // false where root's privileges would let the copy succeed
    } cases[] = {
        {"destination directory missing", src_ + "/b.avc", root_ + "/missing/b.avc",
         tvk::EC_NO_SUCH_ENTRY, true},
        {"destination is a directory", src_ + "/b.avc", root_ + "/download", tvk::EC_NOT_A_REGULAR_FILE,
         true},
        {"source missing", src_ + "/gone.avc", dst_ + "/gone.avc", tvk::EC_NO_SUCH_ENTRY, true},
        {"source is a directory", root_, dst_ + "/dir.avc", tvk::EC_NOT_A_REGULAR_FILE, true},
        {"destination directory not writable", src_ + "/b.avc", root_ + "/locked/b.avc",
         tvk::EC_PERMISSION_DENIED, false},
    };
    ASSERT_EQ(::mkdir((root_ + "/locked").c_str(), 0555), 0);
    for (const auto& c : cases) {
        if (!c.as_root_too && ::geteuid() == 0) continue;  // covered through tavik-run as nobody
        SCOPED_TRACE(c.name);
        request_.Clear();
        place(src_ + "/a.avc", dst_ + "/a.avc");  // would succeed on its own
        place(c.source, c.destination);
        request_.add_to_remove(dst_ + "/obsolete.avc");

        const install_outcome_t outcome = install_files(request_);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error.code(), c.code);
        EXPECT_NE(outcome.error.what().find("Cannot copy"), std::string::npos) << outcome.error.what();
        EXPECT_TRUE(outcome.placed.empty());
        EXPECT_EQ(read_file(dst_ + "/a.avc"), "old a");
        EXPECT_TRUE(exists(dst_ + "/obsolete.avc"));
        EXPECT_EQ(listing(dst_), (std::vector<std::string>{"a.avc", "obsolete.avc"}));
    }
}

TEST_F(InstallerTest, ReplacedFileKeepsTheModeOfTheOldOne) {
    ASSERT_EQ(::chmod((dst_ + "/a.avc").c_str(), 0640), 0);
    ASSERT_EQ(::chmod((src_ + "/a.avc").c_str(), 0600), 0);  // downloads are private
    place(src_ + "/a.avc", dst_ + "/a.avc");
    place(src_ + "/b.avc", dst_ + "/b.avc");
    ASSERT_TRUE(install_files(request_).ok);
    struct stat st;
    ASSERT_EQ(::stat((dst_ + "/a.avc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(::stat((dst_ + "/b.avc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // a new file is readable by the suite's services
}

TEST_F(InstallerTest, RemovalDoesNotDeleteAFileJustPlaced) {
    place(src_ + "/a.avc", dst_ + "/a.avc");
    request_.add_to_remove(dst_ + "/a.avc");
    const install_outcome_t outcome = install_files(request_);
    ASSERT_TRUE(outcome.ok);
    EXPECT_EQ(read_file(dst_ + "/a.avc"), "new a");
    EXPECT_EQ(outcome.kept, (std::vector<std::string>{dst_ + "/a.avc"}));
}

TEST_F(InstallerTest, RemovalOfAMissingFileIsNoFailure) {
    request_.add_to_remove(dst_ + "/never-there.avc");
    request_.add_to_remove(dst_ + "/obsolete.avc");
    const install_outcome_t outcome = install_files(request_);
    EXPECT_TRUE(outcome.ok);
    EXPECT_FALSE(exists(dst_ + "/obsolete.avc"));
}

TEST_F(InstallerTest, RemovalThatFailsIsReportedAndTheRestStillGoes) {
    ASSERT_EQ(::mkdir((dst_ + "/subdir").c_str(), 0755), 0);
    request_.add_to_remove(dst_ + "/subdir");  // unlink refuses directories, also for root
    request_.add_to_remove(dst_ + "/obsolete.avc");
    const install_outcome_t outcome = install_files(request_);
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.what().find("Cannot remove"), std::string::npos);
    EXPECT_TRUE(exists(dst_ + "/subdir"));
    EXPECT_FALSE(exists(dst_ + "/obsolete.avc"));
}

TEST(InstallerErrno, MapsFileErrorsOntoTheSuitesCodes) {
    const struct {
        int err;
        tvk::ErrorCode code;
    } cases[] = {
        {EACCES, tvk::EC_PERMISSION_DENIED}, {EPERM, tvk::EC_PERMISSION_DENIED},
        {ENOENT, tvk::EC_NO_SUCH_ENTRY},     {ENOTDIR, tvk::EC_NOT_A_DIRECTORY},
        {EROFS, tvk::EC_READ_ONLY_FS},       {EXDEV, tvk::EC_CROSS_DEVICE_LINK},
        {ENOSPC, tvk::EC_IO_ERROR},          {EIO, tvk::EC_IO_ERROR},
        {EISDIR, tvk::EC_NOT_A_REGULAR_FILE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tavik_run::error_code_for_errno(c.err), c.code) << "errno " << c.err;
    }
}

}  // namespace
