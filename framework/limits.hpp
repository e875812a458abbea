// Size limits that more than one layer keeps: what is held whole in memory, and what is patched.
#pragma once

#include <cstdint>

namespace upd {

// A file list, an LZMA container and the content of one are each held whole in memory: neither is
// ever allowed to grow beyond this.
constexpr std::uint64_t max_in_memory = 33554432;  // 32 MiB

// Files above this size are never patched (publisher and updater alike): a patch maps the installed
// copy and the result whole, about twice the file, which a 32-bit process must find room for.
constexpr std::uint64_t max_patched_size = TAVIK_MAX_PATCHED_SIZE;

// The longest a server may ask to be left alone (Retry-After, in seconds), as received and as kept
// for later runs.
constexpr long long max_server_wait = 6 * 3600;

}  // namespace upd
