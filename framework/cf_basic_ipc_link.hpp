// Length-prefixed protobuf frames over a stream socket, with queued and coalesced writes.
#pragma once

#include "framework/error_code.hpp"
#include "framework/ipc_buffer.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

// How the link reaches its socket; a test may substitute its own.
template <class Socket>
struct basic_socket_traits {
    static bool is_open(const Socket& socket) { return socket.is_open(); }

    template <class Handler>
    static void async_read(Socket& socket, void* data, std::size_t size, Handler&& handler) {
        boost::asio::async_read(socket, boost::asio::buffer(data, size), std::forward<Handler>(handler));
    }

    template <class Handler>
    static void async_write(Socket& socket, const void* data, std::size_t size, Handler&& handler) {
        boost::asio::async_write(socket, boost::asio::buffer(data, size), std::forward<Handler>(handler));
    }
};

// Frame: 4-byte little-endian payload length N (1..size limit), then N bytes of one message.
// Runs entirely on the io_service thread; the derived class adopts the socket and calls start_read().
template <class Socket, class Traits = basic_socket_traits<Socket>>
class cf_basic_ipc_link_t : private boost::noncopyable {
public:
    virtual ~cf_basic_ipc_link_t() = default;

    void start_read() {
        read_buffer_.resize(4, true);
        auto self = shared_this();
        Traits::async_read(
            *socket_, read_buffer_.data(), 4,
            [self](const boost::system::error_code& ec, std::size_t n) { self->handle_read_len(ec, n); });
    }

    // Queues one message; it leaves with the next write. Never blocks.
    void async_send_message(const google::protobuf::Message& message) {
        async_send_serialized(message.ByteSizeLong(),
                              [&message](std::uint8_t* p) { message.SerializeWithCachedSizesToArray(p); });
    }

    // Queues a serialized message of `n` bytes that `write` puts in place: a large one is written
    // where it is sent from, with no copy of it made first.
    template <typename Write>
    void async_send_serialized(std::size_t n, const Write& write) {
        const std::uint32_t old_size = pending_buffer_.size();
        // A queue that the peer never drains must not wrap the 32-bit buffer size.
        if (n > size_limit_ || n + 4 > std::numeric_limits<std::uint32_t>::max() - old_size) {
            throw boost::system::system_error(tvk::make_error_code(tvk::EC_BAD_MESSAGE_SIZE), "async_send_message");
        }
        pending_buffer_.resize(old_size + 4 + static_cast<std::uint32_t>(n), false);
        std::uint8_t* p = pending_buffer_.data() + old_size;
        p[0] = static_cast<std::uint8_t>(n);
        p[1] = static_cast<std::uint8_t>(n >> 8);
        p[2] = static_cast<std::uint8_t>(n >> 16);
        p[3] = static_cast<std::uint8_t>(n >> 24);
        write(p + 4);
        start_write();
    }

    void handle_read_len(const boost::system::error_code& ec, std::size_t /*n*/) {
        if (!socket_open()) return;
        if (ec) {
            report(ec);
            return;
        }
        const std::uint8_t* b = read_buffer_.data();
        const std::uint32_t length = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                                     static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
        if (length == 0 || length > size_limit_) {
            report(tvk::make_error_code(tvk::EC_BAD_MESSAGE_SIZE));
            return;
        }
        read_buffer_.resize(length, true);
        auto self = shared_this();
        Traits::async_read(
            *socket_, read_buffer_.data(), length,
            [self](const boost::system::error_code& e, std::size_t n) { self->handle_read_message(e, n); });
    }

    void handle_read_message(const boost::system::error_code& ec, std::size_t /*n*/) {
        if (!socket_open()) return;
        if (ec) {
            report(ec);
            return;
        }
        {
            google::protobuf::io::ArrayInputStream stream(read_buffer_.data(), static_cast<int>(read_buffer_.size()));
            handle_message(stream);
        }
        read_buffer_.resize(0, true);
        if (socket_open()) start_read();
    }

    void handle_write(const boost::system::error_code& ec, std::size_t /*n*/) {
        if (!socket_open()) return;
        if (ec) {
            report(ec);
            return;
        }
        in_flight_buffer_.resize(0, true);
        on_write_done();
        start_write();
    }

protected:
    cf_basic_ipc_link_t() = default;

    virtual void handle_message(google::protobuf::io::ZeroCopyInputStream& stream) = 0;
    // Every failure except a cancelled operation.
    virtual void handle_error(const boost::system::error_code& ec) = 0;
    // Pending operations hold this reference, so the link outlives them.
    virtual std::shared_ptr<cf_basic_ipc_link_t> shared_this() = 0;
    virtual void on_write_begin() {}
    virtual void on_write_done() {}
    virtual void on_write_idle() {}

    bool socket_open() const { return socket_ && Traits::is_open(*socket_); }

    std::uint32_t size_limit_ = 0;
    std::shared_ptr<Socket> socket_;
    ipc_buffer read_buffer_;
    ipc_buffer pending_buffer_;
    ipc_buffer in_flight_buffer_;

private:
    // At most one write is outstanding; whatever queued meanwhile leaves together next.
    void start_write() {
        if (in_flight_buffer_.size() == 0 && pending_buffer_.size() != 0) {
            in_flight_buffer_.swap(pending_buffer_);
            pending_buffer_.resize(0, true);
            on_write_begin();
            auto self = shared_this();
            Traits::async_write(
                *socket_, in_flight_buffer_.data(), in_flight_buffer_.size(),
                [self](const boost::system::error_code& ec, std::size_t n) { self->handle_write(ec, n); });
        }
        if (in_flight_buffer_.size() == 0) on_write_idle();
    }

    void report(const boost::system::error_code& ec) {
        if (ec == boost::asio::error::operation_aborted) return;
        handle_error(ec);
    }
};
