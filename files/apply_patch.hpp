// Applying a patch: a zstd frame that encodes a file against an earlier version of it.
#pragma once

#include "framework/limits.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upd {

// The file that `patch` makes of `reference` (the installed copy, the zstd frame's raw prefix),
// decoded in one call into a buffer of exactly `listed_size` bytes, the size the signed list
// gives. Throws cf_proto_exception_t (EC_DATA_CORRUPTED) for a patch that does not decode, that
// decodes to another size (more than listed included), or either side above max_patched_size;
// nothing larger than `listed_size` is ever allocated for the result. The caller checks the digest.
std::vector<char> apply_patch(const char* reference, std::size_t reference_size, const char* patch,
                              std::size_t patch_size, std::uint64_t listed_size);

// The window (log2 bytes) that a patch of a file of `size` bytes against a reference of
// `reference_size` bytes uses: it must hold both. The publisher encodes with it; the updater allows
// no more.
unsigned patch_window_log(std::uint64_t reference_size, std::uint64_t size);

}  // namespace upd
