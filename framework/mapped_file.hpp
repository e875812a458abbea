// A file's bytes mapped into memory, read-only or shared for writing, unmapped at the end.
#pragma once

#include <cstddef>

// Files handled whole (an installed copy, a patch's result) are mapped rather than read into the
// heap: their pages are the page cache's, which the kernel may drop and read again, not anonymous
// memory of the process. An empty file maps to no address and no bytes.
class mapped_file_t {
public:
    // Maps `size` bytes of the open `fd` from its start; system_error("mmap") on failure.
    mapped_file_t(int fd, std::size_t size, bool writable);
    ~mapped_file_t();
    mapped_file_t(const mapped_file_t&) = delete;
    mapped_file_t& operator=(const mapped_file_t&) = delete;

    char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};
