// Reading and writing exact byte counts on descriptors, whole regular files, files created afresh.
#pragma once

#include <boost/system/error_code.hpp>

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

struct stat;

// Throws std::runtime_error("unexpected eof") or system_error("read").
void read_exact(int fd, void* buffer, std::size_t size);
// Throws system_error("write"); a write of 0 bytes is EC_UNEXPECTED_ERROR.
void write_all(int fd, const void* data, std::size_t size);

// Opens a file that the configuration names for reading, without blocking on a FIFO or a device,
// and refuses anything but a regular file: -1 with `ec` set to errno or EC_NOT_A_REGULAR_FILE.
// The file's status goes to `st` when given. `flags` adds open flags: O_NOFOLLOW for the files the
// updater keeps in its work folder, where the run-as account may have planted a link. A relative
// `path` is taken in the open folder `at` when given.
int open_regular(const char* path, boost::system::error_code& ec, struct stat* st = nullptr, int flags = 0,
                 int at = AT_FDCWD);
// The whole of such a file, at most `max_size` bytes: filesystem_error("open", path, ec) as above,
// std::runtime_error("file too big"), or read_exact's errors.
std::vector<char> read_regular_file(const std::string& path, std::size_t max_size, int flags = 0, int at = AT_FDCWD);

// Creates `path` for writing (`mode` less the umask) after removing whatever stands at the name: a
// FIFO there would block the open, a link would lead elsewhere. Something planted again in between
// is not opened: -1 with `ec` EC_IO_ERROR; other failures: -1 with errno. `access` O_RDWR opens it for
// a shared mapping too.
int create_fresh(const char* path, boost::system::error_code& ec, mode_t mode = 0600, int access = O_WRONLY);

// Non-throwing forms: EC_UNEXPECTED_EOF, EC_UNEXPECTED_ERROR or errno; untouched on success.
void read_exact(int fd, void* buffer, std::size_t size, boost::system::error_code& ec);
void write_all(int fd, const void* data, std::size_t size, boost::system::error_code& ec);
