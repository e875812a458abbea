// Control channel: fuzz bytes arrive as the daemon's side of the socket, then the daemon closes
// it. The client must end the way its frames say: a broken frame or channel ends with
// EC_MONITOR_IPC_ERROR, USE_CONTEXT without configuration with a protocol violation, a failed
// installation with its code, an unexpected message with bad_function_call.
#include "control/configd.hpp"
#include "framework/error_code.hpp"
#include "fuzz/quiet_log.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/system/system_error.hpp>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The outcomes, in the order the client meets the frames.
enum class end_t { ipc_error, protocol_violation, install_failed, unexpected };

struct expected_t {
    end_t end;
    int code;  // for install_failed
};

expected_t expect(const std::uint8_t* data, std::size_t size) {
    bool context_pending = true;
    bool install_pending = false;
    std::size_t pos = 0;
    for (;;) {
        if (size - pos < 4) return {end_t::ipc_error, 0};
        const std::uint32_t n = data[pos] | data[pos + 1] << 8 | data[pos + 2] << 16 | std::uint32_t(data[pos + 3]) << 24;
        pos += 4;
        if (n == 0 || n > 67108864 || size - pos < n) return {end_t::ipc_error, 0};
        tvk::Configd2UpdateMessage m;
        if (!m.ParseFromArray(data + pos, static_cast<int>(n))) return {end_t::ipc_error, 0};
        pos += n;
        if (m.tag() == tvk::Configd2UpdateMessage::USE_CONTEXT) {
            if (!m.has_config()) return {end_t::protocol_violation, 0};
            if (!context_pending) return {end_t::unexpected, 0};
            context_pending = false;
            install_pending = true;  // the context callback below asks for an installation
        } else {
            if (m.has_error()) return {end_t::install_failed, m.error().code()};
            if (!install_pending) return {end_t::unexpected, 0};
            install_pending = false;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::install_quiet_log();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    // The whole input fits into the socket buffer (small -max_len), so this does not block.
    if (size > 0 && ::write(fds[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    ::shutdown(fds[1], SHUT_WR);

    const expected_t expected = expect(data, size);
    {
        boost::asio::io_service io;
        auto configd = std::make_shared<upd::configd_t>();
        std::weak_ptr<upd::configd_t> weak = configd;
        configd->start(io, fds[0], [weak](const tvk::UpdateConfig&) {
            weak.lock()->request_install({{"/zone/a", "/work/a"}}, {"/zone/old"}, {"/zone/b"}, [] {});
        });
        configd.reset();
        bool ended = false;
        try {
            io.run();
        } catch (tvk::ErrorCode code) {
            ended = true;
            if (expected.end == end_t::ipc_error) {
                if (code != tvk::EC_MONITOR_IPC_ERROR) std::abort();
            } else if (expected.end != end_t::install_failed || code != expected.code) {
                std::abort();
            }
        } catch (const boost::system::system_error& e) {
            ended = true;
            if (expected.end != end_t::protocol_violation ||
                e.code() != tvk::make_error_code(tvk::EC_PROTOCOL_VIOLATION))
                std::abort();
        } catch (const std::bad_function_call&) {
            ended = true;
            if (expected.end != end_t::unexpected) std::abort();
        }
        // The daemon closed the channel: the loop may not end quietly.
        if (!ended) std::abort();
    }  // destroying the io_service releases the client held by its pending operations
    ::close(fds[1]);
    return 0;
}
