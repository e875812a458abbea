// Framing, size limits, write coalescing and error reporting of the IPC link over a real socket pair.
#include "framework/cf_basic_ipc_link.hpp"

#include "configd_update_ipc.pb.h"
#include "framework/fd_io.hpp"
#include "framework/ipc_buffer.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using socket_t = boost::asio::local::stream_protocol::socket;
using stream_t = google::protobuf::io::ZeroCopyInputStream;

std::string drain(stream_t& stream) {
    std::string bytes;
    const void* data;
    int size;
    while (stream.Next(&data, &size)) bytes.append(static_cast<const char*>(data), size);
    return bytes;
}

std::string le32(std::uint32_t n) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((n >> (8 * i)) & 0xff);
    return s;
}

std::string frame(const std::string& payload) { return le32(static_cast<std::uint32_t>(payload.size())) + payload; }

// Records everything the link reports.
class probe_link_t : public std::enable_shared_from_this<probe_link_t>, public cf_basic_ipc_link_t<socket_t> {
public:
    probe_link_t(boost::asio::io_service& io, int fd, std::uint32_t limit) {
        size_limit_ = limit;
        socket_ = std::make_shared<socket_t>(io);
        socket_->assign(boost::asio::local::stream_protocol(), fd);
    }

    socket_t& socket() { return *socket_; }
    std::uint32_t read_capacity() const { return read_buffer_.capacity(); }

    std::function<void(stream_t&)> on_message;
    std::vector<std::string> messages;
    std::vector<boost::system::error_code> errors;
    std::vector<std::uint32_t> write_sizes;  // size of each write as it starts
    int writes_done = 0;
    int idles = 0;

protected:
    void handle_message(stream_t& stream) override {
        if (on_message) {
            on_message(stream);
        } else {
            messages.push_back(drain(stream));
        }
    }
    void handle_error(const boost::system::error_code& ec) override { errors.push_back(ec); }
    std::shared_ptr<cf_basic_ipc_link_t> shared_this() override { return shared_from_this(); }
    void on_write_begin() override { write_sizes.push_back(in_flight_buffer_.size()); }
    void on_write_done() override { ++writes_done; }
    void on_write_idle() override { ++idles; }
};

// One link on one end of a socket pair; the test plays the peer on the other end.
struct rig_t {
    explicit rig_t(std::uint32_t limit = 67108864) {
        std::signal(SIGPIPE, SIG_IGN);  // a closed peer must show up as an error code
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
        peer = fds[1];
        link = std::make_shared<probe_link_t>(io, fds[0], limit);
    }
    ~rig_t() {
        close_peer();
        link.reset();
    }
    rig_t(const rig_t&) = delete;
    rig_t& operator=(const rig_t&) = delete;

    void close_peer() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }
    void send(const std::string& bytes) { write_all(peer, bytes.data(), bytes.size()); }
    std::string receive(std::size_t n) {
        std::string bytes(n, '\0');
        read_exact(peer, &bytes[0], n);
        return bytes;
    }
    // Runs handlers until `done` holds; gives up after `limit` or when no work is left.
    bool run_until(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && !io.stopped() && std::chrono::steady_clock::now() < deadline) {
            io.run_one_for(std::chrono::milliseconds(100));
        }
        return done();
    }
    // True when the link has no operation outstanding: the loop runs out of work at once.
    bool goes_idle() {
        io.run_for(std::chrono::seconds(2));
        return io.stopped();
    }

    boost::asio::io_service io;
    std::shared_ptr<probe_link_t> link;
    int peer = -1;
};

tvk::Update2ConfigdMessage check_message(std::uint32_t checked) {
    tvk::Update2ConfigdMessage m;
    m.set_tag(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
    m.mutable_check()->set_bytes_to_check(1000);
    m.mutable_check()->set_bytes_checked(checked);
    return m;
}

// A message whose serialised size is exactly `size` (from 16 bytes on).
tvk::Update2ConfigdMessage message_of_size(std::size_t size) {
    tvk::Update2ConfigdMessage m;
    m.set_tag(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
    auto* d = m.mutable_download();
    d->set_files_to_process(1);
    d->set_files_processed(0);
    d->set_bytes_to_process(1);
    d->set_bytes_processed(0);
    d->set_current_file("");
    for (int i = 0; i < 4 && m.ByteSizeLong() != size; ++i) {
        const long grow = static_cast<long>(size) - static_cast<long>(m.ByteSizeLong());
        d->set_current_file(std::string(d->current_file().size() + grow, 'f'));
    }
    if (m.ByteSizeLong() != size) throw std::logic_error("cannot build a message of that size");
    return m;
}

// Reads one frame from the peer side and parses it.
tvk::Update2ConfigdMessage receive_message(rig_t& rig) {
    const std::string len = rig.receive(4);
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(len[i]);
    tvk::Update2ConfigdMessage m;
    if (!m.ParseFromString(rig.receive(n))) throw std::runtime_error("peer got an unparsable frame");
    return m;
}

bool has_pending_input(int fd) {
    char c;
    return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

TEST(IpcBuffer, ReusesSmallStorageAndReleasesLargeStorage) {
    struct row_t {
        const char* name;
        std::uint32_t first;
        std::uint32_t second;
        std::uint32_t capacity_after;
        bool same_storage;
    };
    const row_t rows[] = {
        {"shrink within small capacity", 100, 10, 100, true},
        {"regrow up to small capacity", 100, 100, 100, true},
        {"grow beyond capacity", 100, 200, 200, false},
        {"exactly 1 MiB is still reused", 1048576, 0, 1048576, true},
        {"above 1 MiB shrinks to exact size", 1048577, 10, 10, false},
        {"above 1 MiB released on resize to 0", 2097152, 0, 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ipc_buffer b;
        b.resize(row.first, true);
        for (std::uint32_t i = 0; i < row.first; ++i) b.data()[i] = static_cast<std::uint8_t>(i * 7);
        const std::uint8_t* before = b.data();
        b.resize(row.second, false);
        EXPECT_EQ(row.second, b.size());
        EXPECT_EQ(row.capacity_after, b.capacity());
        EXPECT_EQ(row.same_storage, b.data() == before);
        const std::uint32_t kept = std::min(row.first, row.second);
        for (std::uint32_t i = 0; i < kept; ++i) {
            ASSERT_EQ(static_cast<std::uint8_t>(i * 7), b.data()[i]) << "byte " << i;
        }
    }
}

TEST(IpcLinkRead, FrameArrivesWholeWhateverTheSplit) {
    const std::string bytes = frame("hello") + frame("!");
    for (std::size_t split = 1; split < bytes.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        rig_t rig;
        rig.link->start_read();
        rig.send(bytes.substr(0, split));
        rig.io.poll();
        rig.send(bytes.substr(split));
        ASSERT_TRUE(rig.run_until([&] { return rig.link->messages.size() == 2; }));
        EXPECT_EQ((std::vector<std::string>{"hello", "!"}), rig.link->messages);
        EXPECT_TRUE(rig.link->errors.empty());
    }
}

TEST(IpcLinkRead, FrameSizesOutsideTheLimitAreRejected) {
    struct row_t {
        const char* name;
        std::uint32_t limit;
        std::string length_bytes;
        bool accepted;
    };
    const row_t rows[] = {
        {"length 0", 67108864, le32(0), false},
        {"one above 64 MiB", 67108864, le32(67108865), false},
        {"big-endian 5 reads as 83886080", 67108864, std::string("\x00\x00\x00\x05", 4), false},
        {"length at a small limit", 16, le32(16), true},
        {"one above a small limit", 16, le32(17), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        rig_t rig(row.limit);
        rig.link->start_read();
        rig.send(row.length_bytes + std::string(16, 'p'));
        if (row.accepted) {
            ASSERT_TRUE(rig.run_until([&] { return rig.link->messages.size() == 1; }));
            EXPECT_EQ(std::string(16, 'p'), rig.link->messages[0]);
            EXPECT_TRUE(rig.link->errors.empty());
        } else {
            ASSERT_TRUE(rig.run_until([&] { return !rig.link->errors.empty(); }));
            ASSERT_EQ(1u, rig.link->errors.size());
            EXPECT_EQ(tvk::make_error_code(tvk::EC_BAD_MESSAGE_SIZE), rig.link->errors[0]);
            EXPECT_EQ("Invalid IPC message size", rig.link->errors[0].message());
            EXPECT_TRUE(rig.link->messages.empty());
            EXPECT_TRUE(rig.goes_idle()) << "the link went on reading after a bad size";
        }
    }
}

TEST(IpcLinkRead, LargestFrameIsAcceptedParsedAndItsMemoryReleased) {
    // A USE_CONTEXT whose payload is exactly 64 MiB, written by hand so the test holds one copy only.
    const std::uint32_t total = 67108864;
    const std::uint32_t text_size = total - 2 - 1 - 4 - 2 - 4;
    auto varint4 = [](std::uint32_t v) {
        std::string s;
        for (int i = 0; i < 3; ++i, v >>= 7) s += static_cast<char>((v & 0x7f) | 0x80);
        return s + static_cast<char>(v);
    };
    const std::string head = le32(total) + std::string("\x08\x01\x12", 3) + varint4(2 + 4 + text_size) +
                             std::string("\x82\x46", 2) + varint4(text_size);
    ASSERT_EQ(4u + total - text_size, head.size());

    rig_t rig;
    bool parsed = false;
    std::size_t text_seen = 0;
    rig.link->on_message = [&](stream_t& stream) {
        tvk::Configd2UpdateMessage m;
        parsed = m.ParseFromZeroCopyStream(&stream);
        text_seen = m.config().installed_applications().size();
    };
    rig.link->start_read();
    std::thread writer([&] {
        try {
            rig.send(head);
            const std::string chunk(1 << 20, 'a');
            std::uint32_t left = text_size;
            while (left > 0) {
                const std::uint32_t n = std::min<std::uint32_t>(left, chunk.size());
                write_all(rig.peer, chunk.data(), n);
                left -= n;
            }
        } catch (const std::exception&) {
            // The link stopped reading; the checks below report why.
        }
    });
    const bool done = rig.run_until([&] { return text_seen != 0 || !rig.link->errors.empty(); },
                                    std::chrono::seconds(60));
    const std::uint32_t capacity = rig.link->read_capacity();
    rig.link->socket().close();  // releases a writer stuck on a link that stopped reading
    writer.join();
    ASSERT_TRUE(done);
    EXPECT_TRUE(rig.link->errors.empty());
    EXPECT_TRUE(parsed);
    EXPECT_EQ(text_size, text_seen);
    EXPECT_EQ(4u, capacity) << "the 64 MiB read buffer was kept";
}

TEST(IpcLinkRead, PeerClosingReportsEndOfFile) {
    struct row_t {
        const char* name;
        std::string before_close;
    };
    const row_t rows[] = {
        {"between frames", ""},
        {"inside the length", std::string("\x05\x00", 2)},
        {"inside the payload", le32(5) + "he"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        rig_t rig;
        rig.link->start_read();
        rig.send(row.before_close);
        rig.close_peer();
        ASSERT_TRUE(rig.run_until([&] { return !rig.link->errors.empty(); }));
        EXPECT_EQ(boost::asio::error::eof, rig.link->errors[0]);
        EXPECT_EQ(1u, rig.link->errors.size());
        EXPECT_TRUE(rig.link->messages.empty());
        EXPECT_TRUE(rig.goes_idle());
    }
}

TEST(IpcLinkCancel, CancelledOrClosedOperationsReachNoHandler) {
    struct row_t {
        const char* name;
        bool pending_write;
        bool close;
    };
    const row_t rows[] = {
        {"read cancelled", false, false},
        {"read and write cancelled", true, false},
        {"socket closed by its owner", true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        rig_t rig;
        rig.link->start_read();
        if (row.pending_write) {
            // Far more than the socket buffer holds while the peer does not read.
            rig.link->async_send_message(message_of_size(8 << 20));
            rig.io.poll();
            ASSERT_EQ(0, rig.link->writes_done);
        }
        if (row.close) {
            rig.link->socket().close();
        } else {
            rig.link->socket().cancel();
        }
        EXPECT_TRUE(rig.goes_idle());
        EXPECT_TRUE(rig.link->errors.empty());
        EXPECT_TRUE(rig.link->messages.empty());
        EXPECT_EQ(0, rig.link->writes_done);
    }
}

TEST(IpcLinkWrite, MessagesQueuedDuringAWriteLeaveTogetherInOrder) {
    rig_t rig;
    const std::size_t one = check_message(1).ByteSizeLong() + 4;
    rig.link->async_send_message(check_message(1));
    ASSERT_EQ(1u, rig.link->write_sizes.size());
    EXPECT_EQ(0, rig.link->idles) << "idle reported while a write is in flight";
    for (std::uint32_t i = 2; i <= 4; ++i) rig.link->async_send_message(check_message(i));
    EXPECT_EQ(1u, rig.link->write_sizes.size()) << "a second write started while one was in flight";

    ASSERT_TRUE(rig.run_until([&] { return rig.link->writes_done == 2; }));
    rig.io.poll();
    const std::vector<std::uint32_t> sizes{static_cast<std::uint32_t>(one), static_cast<std::uint32_t>(3 * one)};
    EXPECT_EQ(sizes, rig.link->write_sizes);
    EXPECT_GE(rig.link->idles, 1);
    for (std::uint32_t i = 1; i <= 4; ++i) {
        const auto m = receive_message(rig);
        EXPECT_EQ(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION, m.tag());
        EXPECT_EQ(i, m.check().bytes_checked());
    }
    EXPECT_FALSE(has_pending_input(rig.peer));

    // Once idle, the next message starts its own write at once.
    rig.link->async_send_message(check_message(5));
    EXPECT_EQ(3u, rig.link->write_sizes.size());
}

TEST(IpcLinkWrite, OutboundSizeLimitIsCheckedAtTheCaller) {
    struct row_t {
        const char* name;
        std::size_t size;
        bool accepted;
    };
    const row_t rows[] = {
        {"exactly the limit", 64, true},
        {"one above the limit", 65, false},
        {"far above the limit", 4096, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        rig_t rig(64);
        const auto m = message_of_size(row.size);
        if (row.accepted) {
            rig.link->async_send_message(m);
            ASSERT_TRUE(rig.run_until([&] { return rig.link->writes_done == 1; }));
            EXPECT_EQ(row.size, receive_message(rig).ByteSizeLong());
            continue;
        }
        try {
            rig.link->async_send_message(m);
            ADD_FAILURE() << "no exception";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(tvk::make_error_code(tvk::EC_BAD_MESSAGE_SIZE), e.code());
            EXPECT_STREQ("async_send_message: Invalid IPC message size", e.what());
        }
        EXPECT_TRUE(rig.link->write_sizes.empty());
        // Nothing of the refused message is left in the queue.
        rig.link->async_send_message(check_message(7));
        ASSERT_TRUE(rig.run_until([&] { return rig.link->writes_done == 1; }));
        EXPECT_EQ(7u, receive_message(rig).check().bytes_checked());
        EXPECT_FALSE(has_pending_input(rig.peer));
    }
}

TEST(IpcLinkWrite, WriteToAClosedPeerReportsTheSystemError) {
    std::signal(SIGPIPE, SIG_IGN);
    rig_t rig;
    rig.close_peer();
    rig.link->async_send_message(check_message(1));
    ASSERT_TRUE(rig.run_until([&] { return !rig.link->errors.empty(); }));
    rig.io.poll();
    EXPECT_EQ(0, rig.link->writes_done);
    ASSERT_EQ(1u, rig.link->errors.size());
    EXPECT_TRUE(rig.link->errors[0] == boost::asio::error::broken_pipe ||
                rig.link->errors[0] == boost::asio::error::connection_reset)
        << rig.link->errors[0].message();
}

}  // namespace
