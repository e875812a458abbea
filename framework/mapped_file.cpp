// A file's bytes mapped into memory, read-only or shared for writing, unmapped at the end.
#include "framework/mapped_file.hpp"

#include "framework/error_code.hpp"

#include <boost/system/system_error.hpp>

#include <sys/mman.h>

mapped_file_t::mapped_file_t(int fd, std::size_t size, bool writable) : size_(size) {
    if (size == 0) return;
    void* p = ::mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, writable ? MAP_SHARED : MAP_PRIVATE,
                     fd, 0);
    if (p == MAP_FAILED) throw boost::system::system_error(last_errno(), "mmap");
    data_ = static_cast<char*>(p);
}

mapped_file_t::~mapped_file_t() {
    if (data_) ::munmap(data_, size_);
}
