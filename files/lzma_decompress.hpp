// Unpacking of LZMA-alone containers (13-byte header, one LZMA stream), in memory or file to file.
#pragma once

#include "framework/limits.hpp"

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upd {

constexpr std::size_t lzma_header_size = 13;

// The content size that a container's header (its first lzma_header_size bytes) states: 8 bytes
// little-endian after the properties.
std::uint64_t lzma_stated_size(const unsigned char* header);

// Unpacks a container held in [begin, end). The result has exactly the size that the header
// states. Throws boost::system::system_error with EC_BAD_LZMA_FILE for a container that is too
// short, too large or does not decode.
std::vector<char> lzma_decompress(const char* begin, const char* end);

// The most that an LZMA stream of `size` bytes can take: incompressible data grows a little.
constexpr std::uint64_t lzma_packed_bound(std::uint64_t size) { return size + size / 3 + 128; }

// Unpacks the container file `source` into `destination` (created afresh, mode 0600), whose size
// the signed list gives: a container that states another size, or holds more packed bytes than
// such a size can need, is refused before anything is allocated (a hostile server cannot make
// the unpacking take more memory than the listed file). The destination is touched only after
// the whole content decoded successfully. Throws as lzma_decompress, and
// boost::filesystem::filesystem_error ("open", "read", "write").
void lzma_decompress_file(const boost::filesystem::path& source, const boost::filesystem::path& destination,
                          std::uint64_t listed_size);

}  // namespace upd
