// Incremental parser of HTTP response heads over whatever byte ranges a connection delivers.
#include "net/http_response_parser.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace upd {

namespace {

const std::size_t max_head = 65536;  // the whole head, blank lines before it included
const std::size_t max_headers = 100;
const std::size_t max_digits = 11;

bool is_blank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string trim(const std::string& text) {
    std::string::size_type begin = 0;
    std::string::size_type end = text.size();
    while (begin < end && is_blank(text[begin])) ++begin;
    while (end > begin && is_blank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Numbers saturate at 2147483647 as a 32-bit strtol does, instead of wrapping to a small
// value (an 11-digit status such as 4294967496 must not pass for 200).
long long read_decimal(const std::string& digits) {
    const long long value = std::strtoll(digits.c_str(), nullptr, 10);
    return value > INT32_MAX ? INT32_MAX : value;
}

// Skips blanks while entering each state, per state.
const bool skip_on_entry[] = {true, false, false, false, true, true, false, true, true};

}  // namespace

const std::string http_response_parser_t::response_start = "HTTP/";

http_response_parser_t::http_response_parser_t() { reset(); }

void http_response_parser_t::reset() {
    state_ = st_prefix;
    skip_blanks_ = true;
    token_.clear();
    response_ = http_response_t();
    head_size_ = 0;
}

void http_response_parser_t::set_state(unsigned state, bool force) {
    if (state == state_ && !force) return;
    state_ = state;
    token_.clear();
    skip_blanks_ = skip_on_entry[state];
}

http_response_parser_t::result_t http_response_parser_t::parse(const char* data, std::size_t size,
                                                               std::size_t& consumed) {
    consumed = 0;
    if (state_ == st_complete) return complete;
    if (state_ == st_failed) return invalid;
    result_t result = incomplete;
    std::size_t pos = 0;
    // Bytes past the bound are never looked at: a head that has not ended by then never will.
    const std::size_t limit = std::min(size, max_head - head_size_);
    while (pos < limit && result == incomplete) result = step(data, limit, pos);
    consumed = pos;
    head_size_ += pos;
    if (result == incomplete && head_size_ == max_head) {
        set_state(st_failed);
        result = invalid;
    }
    return result;
}

http_response_parser_t::result_t http_response_parser_t::step(const char* data, std::size_t size, std::size_t& pos) {
    if (skip_blanks_) {
        while (pos < size && is_blank(data[pos])) ++pos;
    }
    result_t result = incomplete;
    switch (state_) {
        case st_prefix: result = read_prefix(data, size, pos); break;
        case st_major:
        case st_minor:
        case st_status: result = read_number(data, size, pos); break;
        case st_dot: result = read_dot(data, size, pos); break;
        case st_reason:
        case st_header: result = read_line(data, size, pos); break;
        default: result = invalid; break;
    }
    // Once a token has begun, blanks belong to it even when it continues in a later buffer.
    if (skip_blanks_ && !token_.empty()) skip_blanks_ = false;
    if (result == complete) {
        set_state(state_ + 1);
        if (state_ != st_complete) result = incomplete;
    } else if (result == invalid) {
        set_state(st_failed);
    }
    return result;
}

http_response_parser_t::result_t http_response_parser_t::read_prefix(const char* data, std::size_t size,
                                                                     std::size_t& pos) {
    while (token_.size() < response_start.size()) {
        if (pos == size) return incomplete;
        token_ += data[pos++];
    }
    for (char& c : token_) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return token_ == response_start ? complete : invalid;
}

http_response_parser_t::result_t http_response_parser_t::read_number(const char* data, std::size_t size,
                                                                     std::size_t& pos) {
    for (;;) {
        if (pos == size) return incomplete;
        const char c = data[pos];
        if (!is_digit(c)) break;
        if (token_.size() >= max_digits) return invalid;
        token_ += c;
        ++pos;
    }
    if (token_.empty()) return invalid;
    const long long value = read_decimal(token_);
    switch (state_) {
        case st_major: response_.set_version(static_cast<unsigned>(value), response_.version_minor()); break;
        case st_minor: response_.set_version(response_.version_major(), static_cast<unsigned>(value)); break;
        default: response_.set_status(static_cast<int>(value)); break;
    }
    return complete;
}

http_response_parser_t::result_t http_response_parser_t::read_dot(const char* data, std::size_t size,
                                                                  std::size_t& pos) {
    if (pos == size) return incomplete;
    if (data[pos] != '.') return invalid;
    ++pos;
    return complete;
}

http_response_parser_t::result_t http_response_parser_t::read_line(const char* data, std::size_t size,
                                                                   std::size_t& pos) {
    for (;;) {
        if (pos == size) return incomplete;
        const char c = data[pos];
        // NUL and bytes above 127 have no place in a head.
        if (static_cast<signed char>(c) < 1) return invalid;
        token_ += c;
        ++pos;
        if (c == '\n') break;
    }
    if (token_.size() < 2 || token_[token_.size() - 2] != '\r') return invalid;
    token_.resize(token_.size() - 2);
    return finish_line();
}

http_response_parser_t::result_t http_response_parser_t::finish_line() {
    if (state_ == st_reason) {
        response_.set_reason(trim(token_));
        return complete;
    }
    if (response_.headers().size() > max_headers) return invalid;
    const std::string line = trim(token_);
    if (line.empty()) return complete;
    const std::string::size_type colon = line.find(':');
    if (colon == std::string::npos) return invalid;
    response_.mutable_headers().add(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    set_state(st_header, true);
    return incomplete;
}

}  // namespace upd
