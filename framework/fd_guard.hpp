// Ownership of one open file descriptor: closed on every way out of the owning scope.
#pragma once

#include <unistd.h>

class fd_guard_t {
public:
    explicit fd_guard_t(int fd = -1) noexcept : fd_(fd) {}
    ~fd_guard_t() { reset(); }
    fd_guard_t(const fd_guard_t&) = delete;
    fd_guard_t& operator=(const fd_guard_t&) = delete;

    int get() const noexcept { return fd_; }

    // Closes the descriptor held so far and takes ownership of fd.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

    // Gives the descriptor up without closing it.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes now and returns close(2)'s result: after writing, a failed close can be a lost write.
    int close_checked() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int fd_;
};
