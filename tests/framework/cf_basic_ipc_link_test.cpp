// The framed link over a socket pair.
#include "framework/cf_basic_ipc_link.hpp"
#include "tests/support/support.hpp"

#include "error.pb.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <csignal>
#include <sys/socket.h>

namespace {

using socket_t = boost::asio::local::stream_protocol::socket;
using lines_t = std::vector<std::string>;

// Records the `what` of each tvk.Error message, or "error: " and the failure.
class link_t : public cf_basic_ipc_link_t<socket_t>, public std::enable_shared_from_this<link_t> {
public:
    link_t(boost::asio::io_service& io, int fd, std::uint32_t limit) {
        socket_ = std::make_shared<socket_t>(io, boost::asio::local::stream_protocol(), fd);
        size_limit_ = limit;
    }
    void close() { socket_->close(); }
    lines_t got;
    int writes = 0;

protected:
    void handle_message(google::protobuf::io::ZeroCopyInputStream& stream) override {
        tvk::Error e;
        got.push_back(e.ParseFromZeroCopyStream(&stream) ? e.what() : "unparsable");
    }
    void handle_error(const boost::system::error_code& ec) override { got.push_back("error: " + ec.message()); }
    std::shared_ptr<cf_basic_ipc_link_t> shared_this() override { return shared_from_this(); }
    void on_write_begin() override { ++writes; }
};

tvk::Error message(const std::string& what) {
    tvk::Error e;
    return e.set_code(tvk::EC_OK), e.set_what(what), e;
}

std::string framed(const std::string& what) { return ts::frame(message(what).SerializeAsString()); }

struct pair_t {
    explicit pair_t(std::uint32_t limit = 16) {
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        link = std::make_shared<link_t>(io, fds[0], limit);
    }
    ~pair_t() { ::close(fds[1]); }
    void put(const std::string& bytes) {
        EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    lines_t run(std::size_t count) {  // until the link has seen `count` events, or a second has passed
        for (int i = 0; i < 1000 && link->got.size() < count; ++i)
            io.run_for(std::chrono::milliseconds(1)), io.restart();
        return link->got;
    }
    boost::asio::io_service io;
    int fds[2];
    std::shared_ptr<link_t> link;
};

TEST(ipc_link, frames_split_anywhere_and_bad_sizes) {
    const std::string stream = framed("first") + framed("2nd");
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        pair_t p(1000);
        p.link->start_read();
        p.put(stream.substr(0, split));
        for (int i = 0; i < 3; ++i) p.io.poll(), p.io.restart();
        p.put(stream.substr(split));
        EXPECT_EQ(p.run(2), (lines_t{"first", "2nd"})) << split;
    }
    const std::string sixteen = message(std::string(12, 'x')).SerializeAsString();  // the limit exactly
    const std::string size = "error: Invalid IPC message size";
    const std::pair<std::string, std::string> rows[] = {{ts::frame(sixteen), std::string(12, 'x')},
                                                        {ts::frame(sixteen + "y"), size},
                                                        {std::string(4, '\0'), size},
                                                        {ts::frame(sixteen).substr(0, 10), "error: End of file"}};
    for (const auto& [bytes, first] : rows) {
        pair_t p;
        p.link->start_read();
        p.put(bytes);
        ::shutdown(p.fds[1], SHUT_WR);
        EXPECT_EQ(p.run(2).at(0), first);
    }
    pair_t closed;
    closed.link->start_read();
    closed.link->close();
    EXPECT_EQ(closed.run(1), lines_t{}) << "a cancelled read reaches no handler";
}

TEST(ipc_link, queued_messages_leave_together) {
    pair_t p;
    for (const char* what : {"a", "b", "c"}) p.link->async_send_message(message(what));
    EXPECT_EQ(ts::outcome([&] { p.link->async_send_message(message(std::string(13, 'x'))); }),
              "7 async_send_message: Invalid IPC message size");
    p.run(1);
    EXPECT_EQ(p.link->writes, 2) << "b and c wait for a, then leave together";
    char buffer[64];
    const ssize_t n = ::recv(p.fds[1], buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), framed("a") + framed("b") + framed("c"));
    ::signal(SIGPIPE, SIG_IGN);
    ::shutdown(p.fds[1], SHUT_RDWR);
    p.link->async_send_message(message("d"));
    EXPECT_EQ(p.run(1), lines_t{"error: Broken pipe"});
}

}  // namespace
