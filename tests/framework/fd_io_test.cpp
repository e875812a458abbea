// Exact reads and full writes on descriptors: short transfers, EOF, EINTR and failures.
#include "framework/fd_io.hpp"

#include "framework/error_code.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

class fd_io_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavik-fd-io-XXXXXX";
        fd_ = ::mkstemp(pattern);
        ASSERT_GE(fd_, 0);
        path_ = pattern;
        ASSERT_EQ(::write(fd_, "abcd", 4), 4);
        ASSERT_EQ(::lseek(fd_, 0, SEEK_SET), 0);
    }
    void TearDown() override {
        ::close(fd_);
        ::unlink(path_.c_str());
        EXPECT_NE(::access(path_.c_str(), F_OK), 0);
    }
    int fd_ = -1;
    std::string path_;
};

TEST_F(fd_io_test, short_file_throws_unexpected_eof) {
    char buffer[10];
    try {
        read_exact(fd_, buffer, sizeof buffer);
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        ADD_FAILURE() << "wrong type: " << e.what();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unexpected eof");
    }
}

TEST_F(fd_io_test, short_file_reports_code_31_without_throwing) {
    char buffer[10];
    boost::system::error_code ec;
    read_exact(fd_, buffer, sizeof buffer, ec);
    EXPECT_EQ(ec, tvk::make_error_code(tvk::EC_UNEXPECTED_EOF));
    EXPECT_EQ(ec.value(), 31);
}

TEST_F(fd_io_test, complete_read_fills_buffer_and_leaves_code_alone) {
    char buffer[4] = {};
    const boost::system::error_code earlier = tvk::make_error_code(tvk::EC_IO_ERROR);
    boost::system::error_code ec = earlier;
    read_exact(fd_, buffer, sizeof buffer, ec);
    EXPECT_EQ(ec, earlier);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    ASSERT_EQ(::lseek(fd_, 0, SEEK_SET), 0);
    char again[2];
    read_exact(fd_, again, 2);
    EXPECT_EQ(std::string(again, 2), "ab");
}

TEST_F(fd_io_test, failing_calls_carry_errno_and_step) {
    const int read_only = ::open(path_.c_str(), O_RDONLY);
    ASSERT_GE(read_only, 0);
    const int closed = ::dup(fd_);
    ::close(closed);
    char byte = 0;
    const boost::system::error_code ebadf(EBADF, boost::system::system_category());

    const struct {
        const char* title;
        bool is_read;
        int fd;
    } cases[] = {
        {"read from a closed descriptor", true, closed},
        {"write to a closed descriptor", false, closed},
        {"write to a read-only descriptor", false, read_only},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        boost::system::error_code ec;
        if (c.is_read) {
            read_exact(c.fd, &byte, 1, ec);
        } else {
            write_all(c.fd, &byte, 1, ec);
        }
        EXPECT_EQ(ec, ebadf);
        try {
            if (c.is_read) {
                read_exact(c.fd, &byte, 1);
            } else {
                write_all(c.fd, &byte, 1);
            }
            ADD_FAILURE() << "no exception";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), ebadf);
            EXPECT_EQ(std::string(e.what()).rfind(c.is_read ? "read" : "write", 0), 0u) << e.what();
        }
    }
    ::close(read_only);
}

TEST(fd_io, write_to_a_pipe_without_reader_is_epipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old);
    boost::system::error_code ec;
    write_all(fds[1], "x", 1, ec);
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(fds[1]);
    EXPECT_EQ(ec, boost::system::error_code(EPIPE, boost::system::system_category()));
}

std::atomic<int> interruptions{0};
void count_interruption(int) { ++interruptions; }

// A reader that is interrupted by a signal and fed in pieces must still return every byte.
TEST(fd_io, read_survives_signals_and_short_pieces) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    struct sigaction counting {}, old {};
    counting.sa_handler = count_interruption;
    counting.sa_flags = 0;  // no SA_RESTART: the blocked read returns EINTR
    ::sigaction(SIGUSR1, &counting, &old);
    interruptions = 0;

    const pthread_t reader = ::pthread_self();
    std::thread feeder([&] {
        using namespace std::chrono_literals;
        std::this_thread::sleep_for(100ms);
        ::pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(50ms);
        for (const char* piece : {"hel", "lo ", "wor", "ld"}) {
            boost::system::error_code ec;
            write_all(fds[1], piece, std::strlen(piece), ec);
            std::this_thread::sleep_for(20ms);
        }
    });
    char buffer[11] = {};
    read_exact(fds[0], buffer, sizeof buffer);
    feeder.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "hello world");
    EXPECT_EQ(interruptions.load(), 1);
}

}  // namespace
