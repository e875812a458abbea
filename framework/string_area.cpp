// One block of bytes that holds many short strings back to back, each known by offset and length.
#include "framework/string_area.hpp"

#include <stdexcept>

std::uint32_t string_area_t::add(std::string_view bytes) {
    if (bytes.size() > limit_ - bytes_.size()) throw std::length_error("string area full");
    const auto offset = static_cast<std::uint32_t>(bytes_.size());
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return offset;
}

std::string_view string_area_t::view(std::uint32_t offset, std::uint32_t size) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset) throw std::out_of_range("string area");
    return std::string_view(bytes_.data() + offset, size);
}
