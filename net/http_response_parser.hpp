// Incremental parser of HTTP response heads over whatever byte ranges a connection delivers.
#pragma once

#include "net/http_response.hpp"

#include <cstddef>
#include <string>

namespace upd {

class http_response_parser_t {
public:
    enum result_t { complete = 0, incomplete = 1, invalid = 2 };

    static const std::string response_start;

    http_response_parser_t();
    void reset();

    // Takes bytes from the front of [data, data + size) and reports how many in `consumed`.
    // On `complete` the bytes after `consumed` are body; on `incomplete` all were consumed.
    result_t parse(const char* data, std::size_t size, std::size_t& consumed);

    const http_response_t& response() const { return response_; }

private:
    enum state_t {
        st_prefix = 0,
        st_major = 1,
        st_dot = 2,
        st_minor = 3,
        st_status = 4,
        st_reason = 5,
        st_header = 6,
        st_complete = 7,
        st_failed = 8
    };

    void set_state(unsigned state, bool force = false);
    result_t step(const char* data, std::size_t size, std::size_t& pos);
    result_t read_prefix(const char* data, std::size_t size, std::size_t& pos);
    result_t read_number(const char* data, std::size_t size, std::size_t& pos);
    result_t read_dot(const char* data, std::size_t size, std::size_t& pos);
    result_t read_line(const char* data, std::size_t size, std::size_t& pos);
    result_t finish_line();

    unsigned state_;
    bool skip_blanks_;
    std::string token_;
    http_response_t response_;
    std::size_t head_size_ = 0;  // bytes of the head consumed so far
};

}  // namespace upd
