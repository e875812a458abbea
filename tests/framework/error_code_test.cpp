// Each failure form's exit code and logged text.
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

TEST(error_code, each_failure) {
    const auto sys = [](int e) { return boost::system::error_code(e, boost::system::system_category()); };
    using fs_error = boost::filesystem::filesystem_error;
    using sys_error = boost::system::system_error;
    using namespace tvk;
    const auto x = [](auto e) { return std::make_exception_ptr(e); };
    Error error;
    error.set_code(EC_NO_UPDATE_SERVERS);
    const std::tuple<std::exception_ptr, ErrorCode, std::string> rows[] = {
        {x(std::bad_alloc()), EC_NO_MEMORY, "Not enough memory"},
        {x(pool_exhausted()), EC_NO_MEMORY, "pool exhausted"},
        {x(cf_proto_exception_t(error)), EC_NO_UPDATE_SERVERS, "No update servers available"},
        {x(cf_exception_t(sys(ENOENT), "n")), EC_NO_SUCH_ENTRY, "n"},
        {x(fs_error("lstat", sys(EACCES))), EC_PERMISSION_DENIED, "lstat: Permission denied"},
        {x(sys_error(sys(EDQUOT), "write")), EC_IO_ERROR, "write: Disk quota exceeded"},
        {x(sys_error(make_error_code(EC_PROTOCOL_VIOLATION), "U")), EC_PROTOCOL_VIOLATION, "U: Protocol violation"},
        // A number that is no enumerator, even one that is an errno value elsewhere.
        {x(sys_error(make_error_code(ErrorCode(EEXIST)))), EC_UNEXPECTED_ERROR, "tvk.Error 17"},
        {x(sys_error(boost::asio::error::eof)), EC_UNEXPECTED_ERROR, "End of file"},
        {x(std::runtime_error("boost::filesystem::directory_iterator::construct: x")), EC_UNEXPECTED_ERROR,
         "opendir: x"},
        {x(std::runtime_error("see boost::x")), EC_UNEXPECTED_ERROR, "see boost::x"},
        {x(cf_outcome_t(EC_PERMISSION_DENIED)), EC_PERMISSION_DENIED, "Permission denied"},
        {x(cf_outcome_t(EC_PERMISSION_DENIED, "refused")), EC_PERMISSION_DENIED, "refused"},
        {x(42), EC_UNEXPECTED_ERROR, "Unexpected exception"},
    };
    for (const auto& [thrown, code, text] : rows) {
        EXPECT_EQ(exit_code_of(thrown), code) << text;
        EXPECT_EQ(exception_text(thrown), text);
    }
    EXPECT_EQ(exit_code_of(std::exception_ptr()), EC_OK);
    EXPECT_EQ(exit_code_of(fs_error("x", boost::system::error_code(ENOTDIR, boost::system::generic_category()))),
              EC_NOT_A_DIRECTORY);
    // The rewritten directory text belongs to the thread that asked for it.
    const char* mine = exception_text(std::runtime_error("boost::filesystem::directory_iterator::construct: main"));
    std::thread([] {
        exception_text(std::runtime_error("boost::filesystem::directory_iterator::construct: w"));
    }).join();
    EXPECT_STREQ(mine, "opendir: main");
}

}  // namespace
