// One update attempt driven from our side of the control channel, from start to exit status.
#include "session.hpp"

#include "control_frame.hpp"
#include "installer.hpp"
#include "progress_view.hpp"
#include "updater_process.hpp"

#include "configd_update_ipc.pb.h"
#include "framework/error_code.hpp"
#include "files/report_file.hpp"
#include "framework/fd_io.hpp"
#include "framework/work_folder.hpp"

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavik_run {

namespace {

// Self-pipe: the handler only records the signal; the loop forwards it to the updater.
int signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int sig) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    ssize_t ignored = ::write(signal_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

// SIGINT and SIGTERM are forwarded, SIGALRM ends a run that takes too long; no SA_RESTART, so
// that a blocked wait returns EINTR and acts at once. SIGCHLD: the end of the updater is noticed
// even if something else still holds its socket. SIGPIPE ignored: a dead updater must show up as
// EPIPE on write, not kill us.
class signal_forwarding_t {
public:
    signal_forwarding_t() {
        if (::pipe(signal_pipe) == 0)
            for (int fd : signal_pipe) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK), ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        for (std::size_t i = 0; i < count; ++i) {
            struct sigaction sa {};
            sigemptyset(&sa.sa_mask);
            sa.sa_handler = handled[i] == SIGPIPE ? SIG_IGN : on_signal;
            sa.sa_flags = handled[i] == SIGCHLD ? SA_NOCLDSTOP : 0;
            ::sigaction(handled[i], &sa, &old_[i]);
        }
    }
    ~signal_forwarding_t() {
        ::alarm(0);
        for (std::size_t i = 0; i < count; ++i) ::sigaction(handled[i], &old_[i], nullptr);
        for (int& fd : signal_pipe) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }
    int fd() const { return signal_pipe[0]; }

private:
    static constexpr std::size_t count = 5;
    static constexpr int handled[count] = {SIGINT, SIGTERM, SIGCHLD, SIGALRM, SIGPIPE};
    struct sigaction old_[count] {};
};

class config_errors_t : public google::protobuf::io::ErrorCollector {
public:
    explicit config_errors_t(const std::string& path) : path_(path) {}
    void AddError(int line, int column, const std::string& message) override {
        if (!text_.empty()) text_ += '\n';
        text_ += path_ + ":" + std::to_string(line + 1) + ":" + std::to_string(column + 1) + ": " +
                 message;
    }
    const std::string& text() const { return text_; }

private:
    std::string path_;
    std::string text_;
};

const char* signal_name(int sig) {
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGKILL: return "SIGKILL";
    case SIGSEGV: return "SIGSEGV";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

unsigned terminal_width() {
    struct winsize ws {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

class session_t {
public:
    session_t(const run_options_t& options, std::ostream& out, std::ostream& err)
        : options_(options),
          out_(out),
          err_(err),
          view_(out, ::isatty(STDOUT_FILENO) == 1 && &out == &std::cout, terminal_width()) {}

    int run(const tvk::UpdateConfig& config);

private:
    void forward_signals();
    void loop();
    // False when the channel is no longer usable.
    bool handle(const std::string& payload);
    void answer_install(const tvk::InstallRequest& request);
    void print_request(const tvk::InstallRequest& request);
    void send(const tvk::Configd2UpdateMessage& message);
    // Passes the updater's log lines above the progress line; `all` at its end.
    void relay_errors(bool all);

    const run_options_t& options_;
    std::ostream& out_;
    std::ostream& err_;
    progress_view_t view_;
    signal_forwarding_t signals_;
    updater_process_t updater_;
    bool channel_ok_ = true;
    bool child_ended_ = false;  // SIGCHLD seen since the last reap attempt
    bool reaped_ = false;
    int status_ = 0;
    bool timed_out_ = false;
    std::string update_dir_;
    std::string errors_;     // of the updater, up to its next line end
    std::string installed_;  // what the installation did, as JSON
};

// After the time limit the updater gets SIGTERM, and SIGKILL if it is still there this much later.
constexpr unsigned kill_grace_seconds = 10;

void session_t::forward_signals() {
    unsigned char sigs[16];
    ssize_t n;
    while ((n = ::read(signals_.fd(), sigs, sizeof sigs)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (sigs[i] == SIGCHLD) {
                child_ended_ = true;
                continue;
            }
            view_.finish();
            if (sigs[i] == SIGALRM) {
                if (!timed_out_) {
                    timed_out_ = true;
                    err_ << "tavik-run: no end after " << options_.timeout
                         << " s, stopping tavik-update" << std::endl;
                    updater_.signal(SIGTERM);
                    ::alarm(kill_grace_seconds);
                } else {
                    err_ << "tavik-run: tavik-update is still running, killing it" << std::endl;
                    updater_.signal(SIGKILL);
                }
                continue;
            }
            err_ << "tavik-run: forwarding " << signal_name(sigs[i]) << " to tavik-update" << std::endl;
            updater_.signal(sigs[i]);
        }
    }
}

void session_t::send(const tvk::Configd2UpdateMessage& message) {
    if (!channel_ok_) return;
    try {
        send_message(updater_.socket(), message);
    } catch (const std::exception& e) {
        // The updater is gone or not listening; its exit status will tell why.
        err_ << "tavik-run: cannot write to tavik-update: " << exception_text(e) << std::endl;
        channel_ok_ = false;
    }
}

void session_t::print_request(const tvk::InstallRequest& request) {
    out_ << "installation request: " << request.to_place_size() << " to place, "
         << request.to_remove_size() << " to remove, " << request.up_to_date_size()
         << " up to date" << std::endl;
    if (!options_.verbose) return;
    for (const tvk::InstallItem& item : request.to_place()) {
        out_ << "  place   " << item.destination() << " (from " << item.source() << ")\n";
    }
    for (const std::string& path : request.to_remove()) out_ << "  remove  " << path << '\n';
    for (const std::string& path : request.up_to_date()) out_ << "  current " << path << '\n';
    out_.flush();
}

void session_t::answer_install(const tvk::InstallRequest& request) {
    view_.finish();
    print_request(request);
    tvk::Configd2UpdateMessage answer;
    answer.set_tag(tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
    if (options_.dry_run) {
        out_ << "dry run: nothing installed" << std::endl;
        installed_ = "{\"dry_run\":true}";
    } else {
        const install_outcome_t outcome = install_files(request);
        installed_ = "{\"dry_run\":false,\"ok\":" + std::string(outcome.ok ? "true" : "false") + ",\"placed\":" +
                     std::to_string(outcome.placed.size()) + ",\"removed\":" + std::to_string(outcome.removed.size()) + "}";
        if (outcome.ok) {
            out_ << "installed: " << outcome.placed.size() << " placed, " << outcome.removed.size()
                 << " removed" << std::endl;
        } else {
            out_ << "installation failed: " << error_text(outcome.error) << std::endl;
            *answer.mutable_error() = outcome.error;
        }
        if (!outcome.kept.empty()) {
            out_ << "kept " << outcome.kept.size()
                 << " file(s) listed for removal that were just placed" << std::endl;
        }
    }
    send(answer);
}

bool session_t::handle(const std::string& payload) {
    tvk::Update2ConfigdMessage message;
    if (!message.ParseFromString(payload)) {
        view_.finish();
        err_ << "tavik-run: invalid message from tavik-update (" << payload.size() << " bytes)"
             << std::endl;
        return false;
    }
    const auto now = view_clock::now();
    switch (message.tag()) {
    case tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION:
        if (message.has_check()) view_.check(message.check(), now);
        if (message.has_download()) view_.download(message.download(), now);
        break;
    case tvk::Update2ConfigdMessage::MY_STAT_NOTIFICATION:
        if (message.has_stat()) view_.stat(message.stat(), now);
        break;
    case tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST:
        answer_install(message.install());
        break;
    }
    return true;
}

void session_t::loop() {
    frame_reader_t reader;
    std::string payload;
    char buffer[65536];
    while (channel_ok_) {
        if (child_ended_ && !reaped_) {
            child_ended_ = false;
            reaped_ = updater_.try_reap(status_);
        }
        pollfd fds[3] = {{updater_.socket(), POLLIN, 0}, {signals_.fd(), POLLIN, 0}, {updater_.errors(), POLLIN, 0}};
        // Once the updater is gone, only what it already sent is read, without waiting.
        const int timeout = reaped_ ? 0 : view_.tick(view_clock::now());
        const int r = ::poll(fds, 3, timeout);
        if (r == 0 && reaped_) return;
        if (r < 0) {
            if (errno == EINTR) {
                forward_signals();
                continue;
            }
            err_ << "tavik-run: poll: " << std::strerror(errno) << std::endl;
            return;
        }
        if (fds[1].revents) forward_signals();
        if (fds[2].revents) relay_errors(false);
        if (!fds[0].revents) continue;
        const ssize_t n = ::read(updater_.socket(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            view_.finish();
            err_ << "tavik-run: read from tavik-update: " << std::strerror(errno) << std::endl;
            return;
        }
        if (n == 0) {
            if (reader.buffered() > 0) {
                view_.finish();
                err_ << "tavik-run: tavik-update closed the channel inside a message" << std::endl;
            }
            return;
        }
        reader.feed(buffer, static_cast<std::size_t>(n));
        try {
            while (reader.next(payload)) {
                if (!handle(payload)) return;
            }
        } catch (const bad_frame_error& e) {
            view_.finish();
            err_ << "tavik-run: " << e.what() << " from tavik-update" << std::endl;
            return;
        }
    }
}

void session_t::relay_errors(bool all) {
    char buffer[4096];
    ssize_t n;
    while (updater_.errors() >= 0 && (n = ::read(updater_.errors(), buffer, sizeof buffer)) > 0) {
        errors_.append(buffer, static_cast<std::size_t>(n));
        // Whole lines; a line without end is passed on in parts rather than held without bound.
        for (std::size_t end; (end = errors_.find('\n')) != std::string::npos || errors_.size() > 65536;) {
            view_.note(err_, errors_.substr(0, std::min(end, errors_.size())));
            errors_.erase(0, end == std::string::npos ? errors_.size() : end + 1);
        }
    }
    if (all && !errors_.empty()) view_.note(err_, errors_), errors_.clear();
}

int session_t::run(const tvk::UpdateConfig& config) {
    update_dir_ = config.update_dir();
    try {
        updater_.start(options_.updater);
    } catch (const std::exception& e) {
        err_ << "tavik-run: cannot start " << options_.updater << ": " << exception_text(e)
             << std::endl;
        return static_cast<int>(exit_code_of(e));
    }

    if (options_.timeout > 0) ::alarm(options_.timeout);

    tvk::Configd2UpdateMessage context;
    context.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
    *context.mutable_config() = config;
    send(context);

    loop();
    view_.finish();
    if (view_.total_sent() || view_.total_received()) out_ << view_.network_text() << std::endl;

    // Closing our end tells an updater that still runs that the channel is gone.
    updater_.close_socket();
    int status = status_;
    const bool reaped = reaped_ || updater_.wait(
        status, [](void* self) { static_cast<session_t*>(self)->forward_signals(); }, this);
    relay_errors(true);
    if (!reaped) {
        err_ << "tavik-run: the exit status of tavik-update is lost" << std::endl;
        return tvk::EC_UNEXPECTED_ERROR;
    }
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        // Only defined values go through the enum; other statuses are shown as numbers.
        const std::string text = tvk::ErrorCode_IsValid(code)
                                     ? error_code_text(static_cast<tvk::ErrorCode>(code))
                                     : std::to_string(code);
        out_ << "tavik-update exited with status " << code << " (" << text << ")" << std::endl;
        if (options_.json) out_ << json_report(update_dir_, options_.run_id, code, installed_.empty() ? "null" : installed_) << std::endl;
        return code;
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        out_ << "tavik-update was killed by signal " << sig << " (" << signal_name(sig) << ")"
             << std::endl;
        return 128 + sig;
    }
    return tvk::EC_UNEXPECTED_ERROR;
}

}  // namespace

bool load_config(const std::string& path, tvk::UpdateConfig& config, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    config_errors_t errors(path);
    google::protobuf::TextFormat::Parser parser;
    parser.RecordErrorsTo(&errors);
    if (!parser.ParseFromString(text.str(), &config)) {
        error = errors.text().empty() ? "cannot parse " + path : errors.text();
        return false;
    }
    return true;
}

namespace {

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') out += '\\', out += static_cast<char>(c);
        else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else out += static_cast<char>(c);
    }
    return out + "\"";
}

// The report's members as JSON; "null" when it is not as tavik-update writes it. Its values are
// escaped, never copied raw: the run-as account can write there.
std::string report_json(const std::vector<char>& bytes, const std::string& run_id) {
    upd::report_file_t r;
    try {
        r = upd::report_file_t::parse(bytes.data(), bytes.data() + bytes.size());
    } catch (const std::exception&) {
        return "null";
    }
    if (r.run_id.empty() || r.run_id != run_id) return "null";
    std::string zones;
    for (const auto& z : r.zones) {
        zones += std::string(zones.empty() ? "" : ",") + "{\"zone\":" + json_string(z.name) + ",\"placed\":" + std::to_string(z.placed) +
                 ",\"removed\":" + std::to_string(z.removed) + ",\"kept\":" + std::to_string(z.kept) + ",\"stamp\":" + json_string(z.stamp) +
                 ",\"expires\":" + json_string(z.expires) + ",\"expired\":" + (z.expired ? "true" : "false") +
                 ",\"server\":" + json_string(z.server) + "}";
    }
    return "{\"status\":" + std::to_string(r.status) + ",\"text\":" + json_string(r.text) + ",\"dry_run\":" + (r.dry_run ? "true" : "false") +
           ",\"duration_ms\":" + std::to_string(r.duration_ms) + ",\"received\":" + std::to_string(r.received) + ",\"zones\":[" + zones + "]}";
}

}  // namespace

std::string json_report(const std::string& update_dir, const std::string& run_id, int status, const std::string& installed) {
    std::string report = "null";  // none, or none to trust
    try {
        report = report_json(::read_regular_file(update_dir + "/" + upd::work_folder::report, upd::report_file_t::max_size, O_NOFOLLOW), run_id);
    } catch (const std::exception&) {
    }
    return "{\"status\":" + std::to_string(status) + ",\"report\":" + report + ",\"installed\":" + installed + "}";
}

int run_session(const run_options_t& options, const tvk::UpdateConfig& config, std::ostream& out,
                std::ostream& err) {
    session_t session(options, out, err);
    return session.run(config);
}

}  // namespace tavik_run
