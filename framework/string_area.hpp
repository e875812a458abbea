// One block of bytes that holds many short strings back to back, each known by offset and length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// Records of many files refer to their names here instead of each owning a string: a name then
// costs its bytes and no heap block or tree node. Offsets are 32-bit on every platform; the area
// refuses to grow past `limit` bytes, which callers set from the input they hold.
class string_area_t {
public:
    explicit string_area_t(std::uint32_t limit = UINT32_MAX) : limit_(limit) {}

    // Appends the bytes and returns their offset; std::length_error past the limit.
    std::uint32_t add(std::string_view bytes);
    // The bytes at [offset, offset + size); std::out_of_range when they are not all in the area.
    std::string_view view(std::uint32_t offset, std::uint32_t size) const;
    std::size_t size() const { return bytes_.size(); }

    void reserve(std::size_t bytes) { bytes_.reserve(bytes < limit_ ? bytes : limit_); }
    void shrink_to_fit() { bytes_.shrink_to_fit(); }
    void clear() { bytes_.clear(), bytes_.shrink_to_fit(); }

private:
    std::vector<char> bytes_;
    std::uint32_t limit_;
};
