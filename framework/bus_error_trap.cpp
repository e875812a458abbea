// Code that touches mapped files, run so that a SIGBUS it raises is its failure, not the process's end.
#include "framework/bus_error_trap.hpp"

#include <mutex>

#include <csetjmp>
#include <csignal>

namespace {

thread_local sigjmp_buf* armed = nullptr;  // where the running trap of this thread resumes

std::mutex installed_mutex;
int running = 0;
struct sigaction previous {};

extern "C" void on_bus_error(int sig) {
    if (sigjmp_buf* resume = armed) {
        armed = nullptr;
        siglongjmp(*resume, 1);
    }
    // Not raised under a trap: back to the default action, which the access, made again on return, meets.
    ::signal(sig, SIG_DFL);
}

// The handler for as long as a trap runs in any thread.
struct installed_t {
    installed_t() {
        std::lock_guard<std::mutex> lock(installed_mutex);
        if (running++ != 0) return;
        struct sigaction sa {};
        sa.sa_handler = on_bus_error;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGBUS, &sa, &previous);
    }
    ~installed_t() {
        std::lock_guard<std::mutex> lock(installed_mutex);
        if (--running == 0) ::sigaction(SIGBUS, &previous, nullptr);
    }
};

}  // namespace

bool bus_error_trap_t::run(void (*f)(void*), void* arg) {
    const installed_t installed;
    sigjmp_buf resume;
    // Saves the signal mask: the jump out of the handler unblocks SIGBUS again.
    if (sigsetjmp(resume, 1) != 0) return false;
    armed = &resume;
    f(arg);
    armed = nullptr;
    return true;
}
