// Reading and writing an exact number of bytes on a descriptor.
#pragma once

#include <boost/system/error_code.hpp>

#include <cstddef>

struct stat;

// Throws std::runtime_error("unexpected eof") or system_error("read").
void read_exact(int fd, void* buffer, std::size_t size);
// Throws system_error("write"); a write of 0 bytes is EC_UNEXPECTED_ERROR.
void write_all(int fd, const void* data, std::size_t size);

// Opens a file that the configuration names for reading, without blocking on a FIFO or a device,
// and refuses anything but a regular file: -1 with `ec` set to errno or EC_NOT_A_REGULAR_FILE.
// The file's status goes to `st` when given.
int open_regular(const char* path, boost::system::error_code& ec, struct stat* st = nullptr);

// Non-throwing forms: EC_UNEXPECTED_EOF, EC_UNEXPECTED_ERROR or errno; untouched on success.
void read_exact(int fd, void* buffer, std::size_t size, boost::system::error_code& ec);
void write_all(int fd, const void* data, std::size_t size, boost::system::error_code& ec);
