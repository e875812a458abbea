// Incremental decoder of the chunked transfer coding of HTTP/1.1 response bodies.
#include "net/http_chunked_parser.hpp"

#include <algorithm>
#include <cstring>

namespace upd {

namespace {

const std::size_t max_trailer_bytes = 65536;
const unsigned max_size_digits = 15;  // 2^60: no chunk is larger, and no count can overflow

int chunk_hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

http_chunked_parser_t::result_t http_chunked_parser_t::decode(char* data, std::size_t size, std::size_t& consumed,
                                                              std::size_t& produced) {
    consumed = produced = 0;
    std::size_t pos = 0;
    while (pos < size && state_ != st_done && state_ != st_failed && state_ != st_overlong) {
        const char c = data[pos];
        switch (state_) {
            case st_size: {
                const int v = chunk_hex_value(c);
                if (v >= 0 && digits_ < max_size_digits) {
                    remaining_ = remaining_ * 16 + static_cast<unsigned>(v), ++digits_, ++line_, ++pos;
                } else if (digits_ > 0 && (c == ';' || c == ' ' || c == '\t')) {
                    state_ = st_extension;
                } else if (digits_ > 0 && c == '\r') {
                    state_ = st_size_lf, ++line_, ++pos;
                } else {
                    state_ = st_failed;
                }
                break;
            }
            case st_extension:  // "; name=value" after the size, read over
                if (c == '\r')
                    state_ = st_size_lf;
                else if (c == '\n')
                    state_ = st_failed;
                else if (line_ - digits_ >= max_extension)
                    state_ = st_overlong;
                ++line_, ++pos;
                break;
            case st_size_lf:
                if (c != '\n') {
                    state_ = st_failed;
                    break;
                }
                ++pos, line_ = 0, digits_ = 0;
                state_ = remaining_ == 0 ? st_trailer : st_data;
                break;
            case st_data: {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, size - pos));
                std::memmove(data + produced, data + pos, n);
                produced += n, pos += n, remaining_ -= n;
                if (remaining_ == 0) state_ = st_data_cr;
                break;
            }
            case st_data_cr: state_ = c == '\r' ? st_data_lf : st_failed, ++pos; break;
            case st_data_lf: state_ = c == '\n' ? st_size : st_failed, ++pos; break;
            case st_trailer:  // trailer lines until an empty one; their fields are not used
                if (c == '\r')
                    state_ = st_trailer_lf;
                else if (c == '\n' || ++trailers_ > max_trailer_bytes)
                    state_ = st_failed;
                else
                    ++line_;
                ++pos;
                break;
            case st_trailer_lf:
                if (c != '\n') {
                    state_ = st_failed;
                    break;
                }
                ++pos;
                state_ = line_ == 0 ? st_done : st_trailer, line_ = 0;
                break;
            default: break;
        }
    }
    consumed = pos;
    if (state_ == st_failed) return invalid;
    if (state_ == st_overlong) return overlong;
    return state_ == st_done ? complete : incomplete;
}

}  // namespace upd
