// Replacing a file safely: written under a temporary name beside it, flushed, renamed over it.
#pragma once

#include "framework/fd_guard.hpp"

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

// The new content of `path` goes to PATH.tmp (created afresh with `mode` less the umask: a link or
// FIFO planted there is removed, never followed), which commit() flushes to the disk and renames
// over `path`: the old file or the new one, never a torn one. The temporary goes unless commit()
// succeeded. Throws filesystem_error "open" (create_fresh's codes) naming the temporary,
// system_error "write", "fsync", "close" or "rename".
class file_replacement_t {
public:
    static const char suffix[];  // ".tmp"

    explicit file_replacement_t(std::string path, mode_t mode = 0600);
    ~file_replacement_t();
    file_replacement_t(const file_replacement_t&) = delete;
    file_replacement_t& operator=(const file_replacement_t&) = delete;

    int descriptor() const { return fd_.get(); }
    void append(const void* data, std::size_t size);
    void commit();

private:
    std::string path_, temporary_;
    fd_guard_t fd_;
    bool committed_ = false;
};

// Replaces `path` by what `write` puts into the descriptor, as above; whatever `write` throws
// leaves the old file.
void replace_file(const std::string& path, const std::function<void(int fd)>& write);
