// The updater as a child process, with one end of a socket pair as its control channel.
#pragma once

#include <string>
#include <sys/types.h>

namespace tavik_run {

class updater_process_t {
public:
    updater_process_t() = default;
    ~updater_process_t();
    updater_process_t(const updater_process_t&) = delete;
    updater_process_t& operator=(const updater_process_t&) = delete;

    // Starts the program with COM_TAVIK_MONITOR naming its end of the socket pair, its standard
    // error into a pipe of ours. Throws boost::system::system_error when the pair, the pipe, the
    // fork or the exec fails.
    void start(const std::string& program);

    // Our end of the control channel; -1 once closed.
    int socket() const { return socket_; }
    void close_socket();
    // The read end of its standard error (non-blocking); -1 once closed.
    int errors() const { return errors_; }
    void close_errors();
    pid_t pid() const { return pid_; }

    // Sends a signal; nothing happens once the child has been reaped.
    void signal(int sig) const;

    // Reaps the child if it has ended, without waiting; true and the raw status if so.
    bool try_reap(int& status);

    // Reaps the child and stores the raw wait status; false when no status could be had.
    // A signal that interrupts the wait calls on_interrupt (when given) and the wait goes on.
    bool wait(int& status, void (*on_interrupt)(void*) = nullptr, void* context = nullptr);

private:
    pid_t pid_ = -1;
    int socket_ = -1;
    int errors_ = -1;
};

}  // namespace tavik_run
