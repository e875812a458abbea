// LZMA packing of make-zone: of a buffer at once, or of a stream of any size, into the same bytes.
#pragma once

#include "framework/file_replacement.hpp"

#include <cstdint>

namespace sign {

// LZMA-alone container: 5 property bytes, the size as 8 bytes little-endian, one stream
// without end marker. Throws std::runtime_error when the encoder fails.
std::string lzma_pack(const std::string& data);

// The `size` bytes that `read` gives (at most `max` into `buffer` a call), packed into `out` in the
// container of lzma_pack. What `read` or `out` throws comes out of here once the encoder returned.
void pack_stream(std::uint64_t size, const std::function<std::size_t(void* buffer, std::size_t max)>& read,
                 file_replacement_t& out);

}  // namespace sign
