// Incremental decoder of the chunked transfer coding of HTTP/1.1 response bodies.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upd {

// Takes the body bytes of a chunked response in whatever runs a connection delivers them and
// leaves the data of the chunks. Bounded: extensions of at most 256 bytes on a size line (more is
// `overlong`: framing that could cost the wire a thousand times the data), a chunk of at most 2^60
// bytes, trailers of at most 64 KiB in all; lines end with CR LF.
class http_chunked_parser_t {
public:
    enum result_t { complete = 0, incomplete = 1, invalid = 2, overlong = 3 };
    static constexpr std::size_t max_extension = 256;

    void reset() { *this = http_chunked_parser_t(); }

    // Decodes [data, data + size) in place: the chunks' data moves to the front, `produced` bytes
    // of it; `consumed` tells how many input bytes were taken. On `complete` (the last chunk and
    // the trailers are in) the bytes after `consumed` are not the body's; on `incomplete` all were
    // taken; `invalid` and `overlong` stick until reset.
    result_t decode(char* data, std::size_t size, std::size_t& consumed, std::size_t& produced);

private:
    enum state_t {
        st_size,
        st_extension,
        st_size_lf,
        st_data,
        st_data_cr,
        st_data_lf,
        st_trailer,
        st_trailer_lf,
        st_done,
        st_failed,
        st_overlong
    };

    state_t state_ = st_size;
    std::uint64_t remaining_ = 0;  // of the current chunk's data, or its size being read
    unsigned digits_ = 0;
    std::size_t line_ = 0;      // bytes of the size line or trailer line so far
    std::size_t trailers_ = 0;  // bytes of all trailer lines
};

}  // namespace upd
