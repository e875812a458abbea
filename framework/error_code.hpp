// The suite's error vocabulary in boost::system form, and the mapping of any failure onto it.
#pragma once

#include "error.pb.h"

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include <exception>
#include <string>

namespace tvk {

// Lets tvk::ErrorCode values travel inside boost::system::error_code.
class cf_proto_error_impl_t : public boost::system::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int value) const override;
};

const boost::system::error_category& proto_error_category();

boost::system::error_code make_error_code(ErrorCode code);

}  // namespace tvk

namespace boost {
namespace system {
template <>
struct is_error_code_enum<tvk::ErrorCode> : std::true_type {};
}  // namespace system
}  // namespace boost

// Display text of a code: its `lex` option, else its name, else its number.
std::string error_code_text(tvk::ErrorCode code);

// Text of an Error message: its `what` when present, else the code's text.
std::string error_text(const tvk::Error& error);

tvk::ErrorCode to_error_code(const boost::system::error_code& ec);

// errno as the last failed system call left it.
boost::system::error_code last_errno();

boost::system::error_code error_code_of(const std::exception& e);
// Also knows a thrown cf_outcome_t, which is no std::exception; no exception at all is EC_OK.
boost::system::error_code error_code_of(std::exception_ptr p);

tvk::ErrorCode exit_code_of(const std::exception& e);
tvk::ErrorCode exit_code_of(std::exception_ptr p);

// Whether the failure is a full disk or quota (ENOSPC, EDQUOT).
bool out_of_space(const std::exception& e);

// The text under which an exception is logged; library name prefixes are dropped.
const char* exception_text(const std::exception& e);
std::string exception_text(std::exception_ptr p);
