// A runtime error that carries a tvk::ErrorCode.
#pragma once

#include "error.pb.h"

#include <stdexcept>
#include <string>

class cf_proto_exception_t : public std::runtime_error {
public:
    cf_proto_exception_t(tvk::ErrorCode code, const std::string& text);
    explicit cf_proto_exception_t(const tvk::Error& error);

    tvk::ErrorCode code() const noexcept { return code_; }

private:
    tvk::ErrorCode code_;
};
