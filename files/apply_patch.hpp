// Applying a patch: a zstd frame that encodes a file against an earlier version of it.
#pragma once

#include "framework/limits.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace upd {

// The file that `patch` makes of `reference` (the installed copy, the zstd frame's raw prefix),
// decoded in one call into a buffer of exactly `listed_size` bytes, the size the signed list
// gives. Throws cf_proto_exception_t (EC_DATA_CORRUPTED) for a patch that does not decode, that
// decodes to another size (more than listed included), or either side above max_patched_size;
// nothing larger than `listed_size` is ever allocated for the result. The caller checks the digest.
std::vector<char> apply_patch(const char* reference, std::size_t reference_size, const char* patch,
                              std::size_t patch_size, std::uint64_t listed_size);

// The same for files: the installed copy at `installed` is mapped read-only as the prefix and the
// result is decoded in one call into a mapping of `target` (created afresh, its blocks allocated
// first), so that neither file is held in the heap. Returns the result's SHA-256. Throws as
// apply_patch does, and cf_proto_exception_t (EC_DATA_CORRUPTED) when the installed copy is cut
// under its mapping or changes size meanwhile; filesystem_error naming `target` ("allocate":
// ENOSPC on a full disk, never a SIGBUS) or the installed copy ("open").
std::string apply_patch_file(const std::string& installed, const char* patch, std::size_t patch_size,
                             std::uint64_t listed_size, const std::string& target);

// test hook: begin
// Called with the installed copy's descriptor once it is mapped, just before the decode.
extern void (*patch_mapped_hook)(int fd);
// test hook: end

// The window (log2 bytes) that a patch of a file of `size` bytes against a reference of
// `reference_size` bytes uses: it must hold both. The publisher encodes with it; the updater allows
// no more.
unsigned patch_window_log(std::uint64_t reference_size, std::uint64_t size);

}  // namespace upd
