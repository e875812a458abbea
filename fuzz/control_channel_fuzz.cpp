// Control channel: the fuzz bytes are all the daemon sends. The client ends as its frames call for
// (expect() below).
#include "control/configd.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/error_code.hpp"
#include "fuzz/fuzz_support.hpp"

#include <sys/socket.h>
#include <unistd.h>

namespace {

// A broken frame or channel: "ipc"; USE_CONTEXT without configuration: "protocol"; a failed
// installation: its code; an unexpected message: "call".
std::string expect(const std::uint8_t* data, std::size_t size) {
    bool context_pending = true, install_pending = false;
    for (std::size_t pos = 0;;) {
        if (size - pos < 4) return "ipc";
        const std::uint32_t n =
            data[pos] | data[pos + 1] << 8 | data[pos + 2] << 16 | std::uint32_t(data[pos + 3]) << 24;
        tvk::Configd2UpdateMessage m;
        if ((pos += 4, n == 0 || n > 67108864 || size - pos < n) || !m.ParseFromArray(data + pos, int(n))) return "ipc";
        pos += n;
        if (m.tag() == tvk::Configd2UpdateMessage::USE_CONTEXT) {
            if (!m.has_config()) return "protocol";
            if (!context_pending) return "call";
            context_pending = false, install_pending = true;  // the context's callback asks for an installation
        } else if (m.has_error()) {
            return std::to_string(m.error().code());
        } else if (!install_pending) {
            return "call";
        } else {
            install_pending = false;
        }
    }
}

// One file of each kind.
struct plan_t : upd::install_plan_t {
    void each_to_place(const place_t& f) const override { f("/z/a", "/w/a"); }
    void each_to_remove(const path_t& f) const override { f("/z/o"); }
    void each_up_to_date(const path_t& f) const override { f("/z/b"); }
} const plan;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::install_quiet_log();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    // A small -max_len: the input fits the socket's buffer without blocking.
    if (size > 0 && ::write(fds[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    ::shutdown(fds[1], SHUT_WR);
    std::string ended = "quietly";
    {
        boost::asio::io_service io;
        auto configd = std::make_shared<upd::configd_t>();
        std::weak_ptr<upd::configd_t> weak = configd;
        configd->start(io, fds[0], [weak](const tvk::UpdateConfig&) { weak.lock()->request_install(plan, [] {}); });
        configd.reset();
        try {
            io.run();
        } catch (const cf_outcome_t& outcome) {
            ended = outcome.code() == tvk::EC_MONITOR_IPC_ERROR ? "ipc" : std::to_string(outcome.code());
        } catch (const boost::system::system_error& e) {
            ended = e.code() == tvk::make_error_code(tvk::EC_PROTOCOL_VIOLATION) ? "protocol" : "other";
        } catch (const std::bad_function_call&) {
            ended = "call";
        }
    }  // the io_service's end releases the client its pending operations hold
    // A failed installation's code may itself be 1, the channel's failure.
    const std::string expected = expect(data, size);
    if (ended != expected && !(expected == "1" && ended == "ipc")) std::abort();
    ::close(fds[1]);
    return 0;
}
