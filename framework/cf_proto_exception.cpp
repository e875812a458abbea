// A runtime error that carries a tvk::ErrorCode.
#include "cf_proto_exception.hpp"

#include "error_code.hpp"

cf_proto_exception_t::cf_proto_exception_t(tvk::ErrorCode code, const std::string& text)
    : std::runtime_error(text), code_(code) {}

cf_proto_exception_t::cf_proto_exception_t(const tvk::Error& error)
    : std::runtime_error(error_text(error)), code_(error.code()) {}
