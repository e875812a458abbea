// The updater as a child process, with one end of a socket pair as its control channel.
#include "updater_process.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tavik_run {

namespace {

[[noreturn]] void throw_errno(int err, const char* what) {
    throw boost::system::system_error(err, boost::system::system_category(), what);
}

void set_cloexec(int fd) { ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC); }

}  // namespace

updater_process_t::~updater_process_t() { close_socket(), close_errors(); }

void updater_process_t::close_socket() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
}

void updater_process_t::close_errors() {
    if (errors_ >= 0) ::close(errors_);
    errors_ = -1;
}

void updater_process_t::start(const std::string& program) {
    // The control channel; a pipe that reports a failed exec back to us (a successful exec closes
    // it); one for the updater's standard error (its copy on descriptor 2 stays open across the exec).
    int pair[2] = {-1, -1}, status_pipe[2] = {-1, -1}, error_pipe[2] = {-1, -1};
    const auto close_all = [&] {
        for (int fd : {pair[0], pair[1], status_pipe[0], status_pipe[1], error_pipe[0], error_pipe[1]})
            if (fd >= 0) ::close(fd);
    };
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0 || ::pipe(status_pipe) != 0 || ::pipe(error_pipe) != 0) {
        const int err = errno;
        close_all();
        throw_errno(err, pair[0] < 0 ? "socketpair" : "pipe");
    }
    for (int fd : {pair[0], status_pipe[0], status_pipe[1], error_pipe[0], error_pipe[1]}) set_cloexec(fd);

    // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
    const std::string variable = "COM_TAVIK_MONITOR=" + std::to_string(pair[1]);
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "COM_TAVIK_MONITOR=", 18) != 0) env.push_back(*e);
    }
    env.push_back(const_cast<char*>(variable.c_str()));
    env.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};

    const pid_t pid = ::fork();
    if (pid < 0) {
        const int err = errno;
        close_all();
        throw_errno(err, "fork");
    }
    if (pid == 0) {
        ::dup2(error_pipe[1], STDERR_FILENO);
        // Dispositions that we changed must not leak into the updater; ignored ones survive exec.
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGCHLD, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(program.c_str(), argv, env.data());
        const int err = errno;
        ssize_t ignored = ::write(status_pipe[1], &err, sizeof err);
        (void)ignored;
        ::_exit(127);
    }

    ::close(pair[1]);
    ::close(status_pipe[1]);
    ::close(error_pipe[1]);
    ::fcntl(error_pipe[0], F_SETFL, ::fcntl(error_pipe[0], F_GETFL) | O_NONBLOCK);
    pid_ = pid;
    socket_ = pair[0];
    errors_ = error_pipe[0];

    int err = 0;
    ssize_t n;
    do {
        n = ::read(status_pipe[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    ::close(status_pipe[0]);
    if (n == static_cast<ssize_t>(sizeof err)) {
        int status;
        wait(status);
        close_socket(), close_errors();
        throw_errno(err, ("exec " + program).c_str());
    }
}

void updater_process_t::signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
}

bool updater_process_t::try_reap(int& status) {
    if (pid_ <= 0) return false;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid_) return false;
    pid_ = -1;
    return true;
}

bool updater_process_t::wait(int& status, void (*on_interrupt)(void*), void* context) {
    while (pid_ > 0) {
        const pid_t r = ::waitpid(pid_, &status, 0);
        if (r == pid_) {
            pid_ = -1;
            return true;
        }
        if (r < 0 && errno == EINTR) {
            if (on_interrupt) on_interrupt(context);
            continue;
        }
        break;  // ECHILD: the status is lost; never report it as a success
    }
    pid_ = -1;
    return false;
}

}  // namespace tavik_run
