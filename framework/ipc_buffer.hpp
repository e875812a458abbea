// Byte buffer of the framed IPC link: reused while small, given back to the allocator once large.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

class ipc_buffer {
public:
    // Above this capacity a buffer is reallocated at every resize, so a huge frame's memory is
    // returned as soon as the frame is done.
    static constexpr std::uint32_t reuse_limit = 1048576;

    ipc_buffer() = default;
    ipc_buffer(const ipc_buffer&) = delete;
    ipc_buffer& operator=(const ipc_buffer&) = delete;

    std::uint32_t capacity() const noexcept { return capacity_; }
    std::uint32_t size() const noexcept { return size_; }
    std::uint8_t* data() noexcept { return data_.get(); }
    const std::uint8_t* data() const noexcept { return data_.get(); }

    // `discard` allows the old contents to be dropped; otherwise the common prefix is kept.
    void resize(std::uint32_t new_size, bool discard) {
        if (capacity_ <= reuse_limit && new_size <= capacity_) {
            size_ = new_size;
            return;
        }
        std::unique_ptr<std::uint8_t[]> fresh(new_size ? new std::uint8_t[new_size] : nullptr);
        if (!discard && size_ && new_size) std::memcpy(fresh.get(), data_.get(), std::min(size_, new_size));
        data_ = std::move(fresh);
        capacity_ = new_size;
        size_ = new_size;
    }

    void swap(ipc_buffer& other) noexcept {
        std::swap(capacity_, other.capacity_);
        std::swap(size_, other.size_);
        data_.swap(other.data_);
    }

private:
    std::uint32_t capacity_ = 0;
    std::uint32_t size_ = 0;
    std::unique_ptr<std::uint8_t[]> data_;
};
