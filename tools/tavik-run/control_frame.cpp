// Frames on the control socket: a 4-byte little-endian length, then one serialised message.
#include "control_frame.hpp"

#include "framework/fd_io.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <unistd.h>

namespace tavik_run {

bad_frame_error::bad_frame_error(std::uint32_t length)
    : std::runtime_error("invalid control frame length " + std::to_string(length)) {}

namespace {

void put_length(char* out, std::uint32_t n) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xff);
}

std::uint32_t get_length(const char* in) {
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(in[i]);
    return n;
}

void check_length(std::uint32_t n) {
    if (n == 0 || n > max_frame_size) throw bad_frame_error(n);
}

}  // namespace

std::string frame_of(const google::protobuf::MessageLite& message) {
    const std::size_t size = message.ByteSizeLong();
    // An empty message would make a frame of length 0, which no peer accepts.
    if (size == 0 || size > max_frame_size) {
        throw bad_frame_error(static_cast<std::uint32_t>(size > 0xffffffffu ? 0xffffffffu : size));
    }
    std::string frame(4 + size, '\0');
    put_length(&frame[0], static_cast<std::uint32_t>(size));
    message.SerializeWithCachedSizesToArray(reinterpret_cast<std::uint8_t*>(&frame[4]));
    return frame;
}

void send_message(int fd, const google::protobuf::MessageLite& message) {
    const std::string frame = frame_of(message);
    write_all(fd, frame.data(), frame.size());
}

void frame_reader_t::feed(const char* data, std::size_t size) {
    // Drop consumed bytes before growing, so the buffer stays about one frame large.
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 65536 && start_ * 2 > buffer_.size()) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(data, size);
}

bool frame_reader_t::next(std::string_view& payload) {
    if (buffered() < 4) return false;
    const std::uint32_t n = get_length(buffer_.data() + start_);
    check_length(n);
    if (buffered() - 4 < n) return false;
    payload = std::string_view(buffer_).substr(start_ + 4, n);
    start_ += 4 + n;
    return true;
}

}  // namespace tavik_run
