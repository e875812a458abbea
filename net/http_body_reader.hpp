// Where the body of an HTTP answer ends, and whether its connection may serve the next request.
#pragma once

#include "net/http_chunked_parser.hpp"
#include "net/http_response.hpp"

#include <boost/optional.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace upd {

// Fed with the bytes that follow a head, in whatever runs they arrive: a body ends after its
// Content-Length, after its last chunk, or at the close when the head announces neither. An
// unwanted answer's short body can be read over only to keep the connection. Bytes and counts
// alone: the connection does the I/O.
class http_body_reader_t {
public:
    enum result_t { complete = 0, incomplete = 1, invalid = 2, overdrawn = 3, framing_too_large = 4 };

    // The longest body of an unwanted answer that is read to its end to keep the connection.
    static constexpr std::uint64_t max_drained = 65536;

    // A new body, framed by `head`; `keep_alive`: whether the client keeps connections at all.
    // `limit`: the most of it the client takes, which bounds what chunk framing may cost the wire:
    // twice the limit and 64 KiB at most, whatever the framing (a drained body's limit is
    // max_drained).
    void start(const http_response_t& head, bool keep_alive, boost::optional<std::uint64_t> limit = boost::none);
    // Where the body starts in the whole file, for the words of a cut.
    void set_offset(std::uint64_t offset) { offset_ = offset; }
    // The body is read over to its end and dropped, to keep the connection; false when that
    // cannot keep it (the server does not, or the body announces more than max_drained).
    bool drain() { return draining_ = keeps_ && !(length_ && *length_ > max_drained); }

    // Takes what arrived, in place: `bytes` shrinks to the body's data at its front. `complete`:
    // the body is complete (the bytes that followed it were not its); `invalid`: a broken chunked
    // coding; `overdrawn`: a drained body longer than max_drained; `framing_too_large`: a chunked
    // body whose framing outgrows its bound, or a chunk extension longer than 256 bytes.
    result_t take(std::vector<char>& bytes);
    // The connection closed: the words of the cut ("cut after 9 of 18 bytes") when the body
    // needed more, else empty, and the body has ended.
    std::string close();

    std::uint64_t received() const { return received_; }
    // Whether the body is complete; one of Content-Length 0 is from its head on.
    bool ended() const { return ended_; }
    // What the body still holds, when its length is known.
    boost::optional<std::uint64_t> rest() const {
        return length_ ? boost::make_optional(*length_ - received_) : boost::none;
    }
    // The body ended with nothing after it.
    bool clean() const { return clean_; }
    // Whether the connection may serve the next request: the server keeps it after this answer,
    // whose body ended cleanly.
    bool reusable() const { return keeps_ && clean_; }

private:
    http_chunked_parser_t chunks_;
    bool chunked_ = false;
    boost::optional<std::uint64_t> length_;  // announced
    boost::optional<std::uint64_t> limit_;
    std::uint64_t received_ = 0, wire_ = 0;
    std::uint64_t offset_ = 0;
    bool keeps_ = false;  // the server keeps the connection after this answer
    bool draining_ = false;
    bool ended_ = false;
    bool clean_ = false;
};

}  // namespace upd
