// Every failure form maps to its exit code and is logged under its text.
#include "framework/cf_exception.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/cf_proto_exception.hpp"
#include "framework/error_code.hpp"

#include <boost/asio/error.hpp>
#include <boost/filesystem/exception.hpp>
#include <gtest/gtest.h>

#include <thread>

namespace {

struct pool_exhausted : std::bad_alloc {
    const char* what() const noexcept override { return "pool exhausted"; }
};

TEST(error_code, every_failure_form_has_its_exit_code_and_text) {
    const auto sys = [](int e) { return boost::system::error_code(e, boost::system::system_category()); };
    using fs_error = boost::filesystem::filesystem_error;
    using sys_error = boost::system::system_error;
    using std::make_exception_ptr;
    tvk::Error error;
    error.set_code(tvk::EC_NO_UPDATE_SERVERS);
    const std::tuple<std::exception_ptr, tvk::ErrorCode, std::string> rows[] = {
        {make_exception_ptr(std::bad_alloc()), tvk::EC_NO_MEMORY, "Not enough memory"},
        {make_exception_ptr(pool_exhausted()), tvk::EC_NO_MEMORY, "pool exhausted"},
        {make_exception_ptr(cf_proto_exception_t(error)), tvk::EC_NO_UPDATE_SERVERS, "No update servers available"},
        {make_exception_ptr(cf_exception_t(sys(ENOENT), "n")), tvk::EC_NO_SUCH_ENTRY, "n"},
        {make_exception_ptr(fs_error("lstat", sys(EACCES))), tvk::EC_PERMISSION_DENIED, "lstat: Permission denied"},
        {make_exception_ptr(fs_error("x", sys(EXDEV))), tvk::EC_CROSS_DEVICE_LINK, "x: Invalid cross-device link"},
        {make_exception_ptr(fs_error("write", sys(ENOSPC))), tvk::EC_IO_ERROR, "write: No space left on device"},
        {make_exception_ptr(sys_error(sys(EDQUOT), "write")), tvk::EC_IO_ERROR, "write: Disk quota exceeded"},
        {make_exception_ptr(sys_error(tvk::make_error_code(tvk::EC_PROTOCOL_VIOLATION), "U")),
         tvk::EC_PROTOCOL_VIOLATION, "U: Protocol violation"},
        // A number that is no enumerator, even one that is an errno value elsewhere.
        {make_exception_ptr(sys_error(tvk::make_error_code(tvk::ErrorCode(EEXIST)))), tvk::EC_UNEXPECTED_ERROR,
         "tvk.Error 17"},
        {make_exception_ptr(sys_error(boost::asio::error::eof)), tvk::EC_UNEXPECTED_ERROR, "End of file"},
        {make_exception_ptr(std::runtime_error("boost::filesystem::directory_iterator::construct: x")),
         tvk::EC_UNEXPECTED_ERROR, "opendir: x"},
        {make_exception_ptr(std::runtime_error("see boost::x")), tvk::EC_UNEXPECTED_ERROR, "see boost::x"},
        {make_exception_ptr(cf_outcome_t(tvk::EC_PERMISSION_DENIED)), tvk::EC_PERMISSION_DENIED, "Permission denied"},
        {make_exception_ptr(cf_outcome_t(tvk::EC_PERMISSION_DENIED, "refused")), tvk::EC_PERMISSION_DENIED, "refused"},
        {make_exception_ptr(42), tvk::EC_UNEXPECTED_ERROR, "Unexpected exception"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(exit_code_of(std::get<0>(r)), std::get<1>(r)) << std::get<2>(r);
        EXPECT_EQ(exception_text(std::get<0>(r)), std::get<2>(r));
    }
    EXPECT_EQ(exit_code_of(std::exception_ptr()), tvk::EC_OK);
    EXPECT_EQ(exit_code_of(fs_error("x", boost::system::error_code(ENOTDIR, boost::system::generic_category()))),
              tvk::EC_NOT_A_DIRECTORY);
    // The rewritten directory text belongs to the thread that asked for it.
    const char* mine = exception_text(std::runtime_error("boost::filesystem::directory_iterator::construct: main"));
    std::thread([] {
        exception_text(std::runtime_error("boost::filesystem::directory_iterator::construct: w"));
    }).join();
    EXPECT_STREQ(mine, "opendir: main");
}

}  // namespace
