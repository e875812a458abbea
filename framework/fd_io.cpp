// Reading and writing exact byte counts on descriptors, whole regular files, files created afresh.
#include "fd_io.hpp"

#include "error_code.hpp"
#include "fd_guard.hpp"

#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <stdexcept>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void read_exact(int fd, void* buffer, std::size_t size, boost::system::error_code& ec) {
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            ec.assign(errno, boost::system::system_category());
            return;
        }
        if (n == 0) {
            ec = tvk::make_error_code(tvk::EC_UNEXPECTED_EOF);
            return;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

void write_all(int fd, const void* data, std::size_t size, boost::system::error_code& ec) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            ec.assign(errno, boost::system::system_category());
            return;
        }
        if (n == 0) {
            ec = tvk::make_error_code(tvk::EC_UNEXPECTED_ERROR);
            return;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

int open_regular(const char* path, boost::system::error_code& ec, struct stat* st, int flags, int at) {
    int fd;
    do {
        fd = ::openat(at, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    } while (fd < 0 && errno == EINTR);
    struct stat own;
    if (!st) st = &own;
    if (fd < 0 || ::fstat(fd, st) != 0) {
        ec.assign(errno, boost::system::system_category());
    } else if (!S_ISREG(st->st_mode)) {
        ec = tvk::make_error_code(tvk::EC_NOT_A_REGULAR_FILE);
    } else {
        return fd;
    }
    if (fd >= 0) ::close(fd);
    return -1;
}

std::vector<char> read_regular_file(const std::string& path, std::size_t max_size, int flags, int at) {
    boost::system::error_code ec;
    struct stat st;
    fd_guard_t fd(open_regular(path.c_str(), ec, &st, flags, at));
    if (fd.get() < 0) throw boost::filesystem::filesystem_error("open", path, ec);
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max_size)
        throw std::runtime_error("file too big");
    std::vector<char> bytes(static_cast<std::size_t>(st.st_size));
    read_exact(fd.get(), bytes.data(), bytes.size());
    return bytes;
}

int create_fresh(const char* path, boost::system::error_code& ec, mode_t mode, int access) {
    ::unlink(path);  // a folder stays, and the exclusive create refuses it
    int fd;
    do {
        fd = ::open(path, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) ec = errno == EEXIST ? tvk::make_error_code(tvk::EC_IO_ERROR) : last_errno();
    return fd;
}

void read_exact(int fd, void* buffer, std::size_t size) {
    boost::system::error_code ec;
    read_exact(fd, buffer, size, ec);
    if (!ec) return;
    if (ec == tvk::make_error_code(tvk::EC_UNEXPECTED_EOF)) throw std::runtime_error("unexpected eof");
    throw boost::system::system_error(ec, "read");
}

void write_all(int fd, const void* data, std::size_t size) {
    boost::system::error_code ec;
    write_all(fd, data, size, ec);
    if (ec) throw boost::system::system_error(ec, "write");
}
