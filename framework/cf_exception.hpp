// A runtime error that carries a boost::system::error_code.
#pragma once

#include <boost/system/error_code.hpp>

#include <stdexcept>
#include <string>

class cf_exception_t : public std::runtime_error {
public:
    cf_exception_t(const boost::system::error_code& code, const std::string& text)
        : std::runtime_error(text), code_(code) {}

    const boost::system::error_code& code() const noexcept { return code_; }

private:
    boost::system::error_code code_;
};
