// Frames on the control socket: a 4-byte little-endian length, then one serialised message.
#pragma once

#include <google/protobuf/message_lite.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavik_run {

// Largest payload either side accepts; the updater refuses anything above it too.
constexpr std::uint32_t max_frame_size = 64u * 1024u * 1024u;

// Thrown for a frame that announces a length of 0 or above the limit.
class bad_frame_error : public std::runtime_error {
public:
    explicit bad_frame_error(std::uint32_t length);
};

// The whole frame (length and payload) of a message; throws bad_frame_error when it is too big.
std::string frame_of(const google::protobuf::MessageLite& message);

// Writes one framed message with blocking I/O; throws boost::system::system_error ("write").
void send_message(int fd, const google::protobuf::MessageLite& message);

// Splits a byte stream into frame payloads, whatever the sizes of the pieces it is fed.
class frame_reader_t {
public:
    // Appends received bytes.
    void feed(const char* data, std::size_t size);
    // Takes the next complete payload out, a view valid until the next feed; false when none is
    // complete yet. Throws bad_frame_error as soon as a bad length is seen.
    bool next(std::string_view& payload);
    // Bytes received that do not yet form a whole frame.
    std::size_t buffered() const { return buffer_.size() - start_; }

private:
    std::string buffer_;
    std::size_t start_ = 0;
};

}  // namespace tavik_run
