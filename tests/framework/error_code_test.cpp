// Mapping of codes, system errors and exceptions onto tvk::ErrorCode, and the texts they are logged under.
#include "framework/error_code.hpp"

#include "framework/cf_exception.hpp"
#include "framework/cf_proto_exception.hpp"

#include <boost/asio/error.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using boost::system::error_code;

class custom_alloc_failure : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "pool exhausted"; }
};

template <class E>
std::exception_ptr thrown(E e) {
    return std::make_exception_ptr(e);
}

TEST(ErrorCodeMapping, TvkCodesPassThroughOnlyWhenTheyAreEnumerators) {
    struct row_t {
        const char* name;
        int value;
        tvk::ErrorCode expected;
    };
    const row_t rows[] = {
        {"success", 0, tvk::EC_OK},
        {"monitor channel", 1, tvk::EC_MONITOR_IPC_ERROR},
        {"bad message size", 7, tvk::EC_BAD_MESSAGE_SIZE},
        {"protocol violation", 12, tvk::EC_PROTOCOL_VIOLATION},
        {"permission denied", 24, tvk::EC_PERMISSION_DENIED},
        {"no update servers", 94, tvk::EC_NO_UPDATE_SERVERS},
        {"terminated by signal", 107, tvk::EC_APP_TERMINATED},
        {"component missing", 124, tvk::EC_NO_STATISTICS},
        {"unexpected", 125, tvk::EC_UNEXPECTED_ERROR},
        {"gap 14", 14, tvk::EC_UNEXPECTED_ERROR},
        {"gap 111", 111, tvk::EC_UNEXPECTED_ERROR},
        // EEXIST's number, but in the tvk category it is no errno and must not map to 27.
        {"gap with an errno number", EEXIST, tvk::EC_UNEXPECTED_ERROR},
        {"far outside", 500, tvk::EC_UNEXPECTED_ERROR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, to_error_code(tvk::make_error_code(static_cast<tvk::ErrorCode>(row.value))));
    }
}

TEST(ErrorCodeMapping, ErrnoConditionsMapAlikeInEveryCategory) {
    struct row_t {
        const char* name;
        int errno_value;
        tvk::ErrorCode expected;
    };
    const row_t rows[] = {
        {"no error", 0, tvk::EC_OK},
        {"EACCES", EACCES, tvk::EC_PERMISSION_DENIED},
        {"EPERM", EPERM, tvk::EC_PERMISSION_DENIED},
        {"ENOENT", ENOENT, tvk::EC_NO_SUCH_ENTRY},
        {"ENOTDIR", ENOTDIR, tvk::EC_NOT_A_DIRECTORY},
        {"EROFS", EROFS, tvk::EC_READ_ONLY_FS},
        {"EINVAL", EINVAL, tvk::EC_INVALID_ARGUMENT},
        {"EEXIST", EEXIST, tvk::EC_FILE_EXISTS},
        {"EADDRINUSE", EADDRINUSE, tvk::EC_NAME_ALREADY_IN_USE},
        {"EXDEV", EXDEV, tvk::EC_CROSS_DEVICE_LINK},
        {"EIO is not in the table", EIO, tvk::EC_UNEXPECTED_ERROR},
        {"ENOSPC is not in the table", ENOSPC, tvk::EC_UNEXPECTED_ERROR},
        {"ECONNREFUSED is not in the table", ECONNREFUSED, tvk::EC_UNEXPECTED_ERROR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const error_code system(row.errno_value, boost::system::system_category());
        const error_code generic(row.errno_value, boost::system::generic_category());
        EXPECT_EQ(row.expected, to_error_code(system)) << "system category";
        EXPECT_EQ(row.expected, to_error_code(generic)) << "generic category";
        const boost::filesystem::filesystem_error fs("remove", boost::filesystem::path("/tmp/x"), system);
        EXPECT_EQ(row.expected, exit_code_of(fs)) << "filesystem error";
    }
}

TEST(ErrorCodeMapping, OtherCategoriesAreUnexpected) {
    EXPECT_EQ(tvk::EC_UNEXPECTED_ERROR, to_error_code(boost::asio::error::eof));
    EXPECT_EQ(tvk::EC_UNEXPECTED_ERROR, to_error_code(boost::asio::error::host_not_found));
}

TEST(ErrorCodeMapping, EveryExceptionFamilyHasItsExitCode) {
    struct row_t {
        const char* name;
        std::exception_ptr exception;
        tvk::ErrorCode expected;
    };
    tvk::Error error;
    error.set_code(tvk::EC_NO_UPDATE_SERVERS);
    const std::vector<row_t> rows = {
        {"bad_lexical_cast", thrown(boost::bad_lexical_cast()), tvk::EC_UNEXPECTED_ERROR},
        {"bad_alloc", thrown(std::bad_alloc()), tvk::EC_NO_MEMORY},
        {"class derived from bad_alloc", thrown(custom_alloc_failure()), tvk::EC_NO_MEMORY},
        {"cf_proto_exception_t", thrown(cf_proto_exception_t(tvk::EC_BAD_LST_FILE, "x")), tvk::EC_BAD_LST_FILE},
        {"cf_proto_exception_t from an Error", thrown(cf_proto_exception_t(error)), tvk::EC_NO_UPDATE_SERVERS},
        {"cf_exception_t with a tvk code",
         thrown(cf_exception_t(tvk::make_error_code(tvk::EC_NETWORK_TIMEDOUT), "t")), tvk::EC_NETWORK_TIMEDOUT},
        {"cf_exception_t with errno", thrown(cf_exception_t(error_code(ENOENT, boost::system::system_category()), "n")),
         tvk::EC_NO_SUCH_ENTRY},
        {"filesystem_error", thrown(boost::filesystem::filesystem_error(
                                 "lstat", error_code(EACCES, boost::system::system_category()))),
         tvk::EC_PERMISSION_DENIED},
        {"system_error with a tvk code",
         thrown(boost::system::system_error(tvk::make_error_code(tvk::EC_PROTOCOL_VIOLATION), "USE_CONTEXT")),
         tvk::EC_PROTOCOL_VIOLATION},
        {"system_error with a non-enumerator tvk code",
         thrown(boost::system::system_error(tvk::make_error_code(static_cast<tvk::ErrorCode>(500)), "x")),
         tvk::EC_UNEXPECTED_ERROR},
        {"runtime_error", thrown(std::runtime_error("boom")), tvk::EC_UNEXPECTED_ERROR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, exit_code_of(row.exception)) << "from exception_ptr";
        try {
            std::rethrow_exception(row.exception);
        } catch (const std::exception& e) {
            EXPECT_EQ(row.expected, exit_code_of(e)) << "from the exception object";
        }
    }
}

TEST(ErrorCodeMapping, NonStandardThrownValuesAndNoException) {
    EXPECT_EQ(tvk::EC_OK, exit_code_of(std::exception_ptr()));
    EXPECT_EQ(tvk::EC_UNEXPECTED_ERROR, exit_code_of(thrown(tvk::EC_PERMISSION_DENIED)));
    EXPECT_EQ(tvk::EC_UNEXPECTED_ERROR, exit_code_of(thrown(42)));
}

TEST(ErrorCodeMapping, ErrorMessageTextsPreferWhat) {
    tvk::Error error;
    error.set_code(tvk::EC_NO_UPDATE_SERVERS);
    EXPECT_EQ("No update servers available", error_text(error));
    EXPECT_STREQ("No update servers available", cf_proto_exception_t(error).what());
    error.set_what("all mirrors down");
    EXPECT_EQ("all mirrors down", error_text(error));
    EXPECT_STREQ("all mirrors down", cf_proto_exception_t(error).what());
}

TEST(ErrorCodeTexts, CodesAndCategoryMessages) {
    struct row_t {
        int value;
        const char* text;
        const char* message;
    };
    const row_t rows[] = {
        {0, "Success", "Success"},
        {7, "Invalid IPC message size", "Invalid IPC message size"},
        {107, "Process terminated by signal", "Process terminated by signal"},
        {125, "Unexpected error", "Unexpected error"},
        {14, "14", "tvk.Error 14"},
        {500, "500", "tvk.Error 500"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(row.text, error_code_text(static_cast<tvk::ErrorCode>(row.value)));
        EXPECT_EQ(row.message, tvk::proto_error_category().message(row.value));
    }
    EXPECT_STREQ("tvk.Error", tvk::proto_error_category().name());
    EXPECT_EQ(&tvk::proto_error_category(), &tvk::make_error_code(tvk::EC_OK).category());
}

TEST(ExceptionText, LibraryPrefixesAreDropped) {
    struct row_t {
        const char* what;
        const char* expected;
    };
    const row_t rows[] = {
        {"boost::filesystem::remove: Permission denied", "remove: Permission denied"},
        {"boost::", ""},
        {"boost::bad_get", "bad_get"},
        {"boost::asio::detail::x::rest of text", "rest of text"},
        {"boost::a::b:c", "b:c"},
        {"boost::filesystem::directory_iterator::construct: No such file or directory: \"/a\"",
         "opendir: No such file or directory: \"/a\""},
        {"boost::filesystem::directory_iterator::construct:", "opendir:"},
        {"boost::filesystem::directory_iterator::constructor: x", "constructor: x"},
        {"boost::filesystem::directory_iterator::increment: x", "increment: x"},
        {"boost::filesystem::recursive_directory_iterator::construct: x", "construct: x"},
        {"plain text", "plain text"},
        {"see boost::filesystem::remove", "see boost::filesystem::remove"},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_STREQ(row.expected, exception_text(std::runtime_error(row.what)));
        EXPECT_EQ(row.expected, exception_text(thrown(std::runtime_error(row.what))));
    }
}

TEST(ExceptionText, OnlyAPlainBadAllocReadsAsNotEnoughMemory) {
    EXPECT_STREQ("Not enough memory", exception_text(std::bad_alloc()));
    EXPECT_STREQ("pool exhausted", exception_text(custom_alloc_failure()));
    const std::bad_array_new_length array_failure;
    EXPECT_STREQ(array_failure.what(), exception_text(array_failure));
}

TEST(ExceptionText, ThrownValuesOfOtherTypes) {
    EXPECT_EQ("ErrorCode: Permission denied", exception_text(thrown(tvk::EC_PERMISSION_DENIED)));
    EXPECT_EQ("ErrorCode: 500", exception_text(thrown(static_cast<tvk::ErrorCode>(500))));
    EXPECT_EQ("Unexpected exception", exception_text(thrown(42)));
}

TEST(ExceptionText, RewrittenTextBelongsToTheCallingThread) {
    const std::runtime_error mine("boost::filesystem::directory_iterator::construct: main");
    const char* text = exception_text(mine);
    std::string other;
    std::thread t([&] {
        other = exception_text(std::runtime_error("boost::filesystem::directory_iterator::construct: worker"));
    });
    t.join();
    EXPECT_EQ("opendir: worker", other);
    EXPECT_STREQ("opendir: main", text);
}

}  // namespace
