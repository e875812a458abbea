// The files of make-zone read once, in chunks, for their list entries, copies, packed forms and patches.
#pragma once

#include "files/lst_file.hpp"

namespace sign {

// Reads the file at `path` once for its list entry, its copy at `copy` (unless empty), its bytes
// into `whole` when given and the file is small enough to patch, and, when `pack` is set and it
// fits in memory where it is unpacked, its packed form at `packed` (as lzma_pack would pack it)
// when that is smaller than the file. No file is held whole in memory but in `whole`. Returns
// whether the file was packed, as `entry.packed` says.
bool stream_file(const std::string& path, const std::string& copy, const std::string& packed, bool pack,
                 upd::lst_file_t::entry_t& entry, std::string* whole = nullptr);

}  // namespace sign
