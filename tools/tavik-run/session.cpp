// One update attempt driven from our side of the control channel, from start to exit status.
#include "session.hpp"

#include "control_frame.hpp"
#include "installer.hpp"
#include "progress_view.hpp"
#include "metrics_file.hpp"
#include "report_view.hpp"
#include "update_message.hpp"
#include "updater_process.hpp"

#include "configd_update_ipc.pb.h"
#include "framework/error_code.hpp"

#include <boost/filesystem/path.hpp>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
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
            for (int fd : signal_pipe)
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK), ::fcntl(fd, F_SETFD, FD_CLOEXEC);
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
        text_ += path_ + ":" + std::to_string(line + 1) + ":" + std::to_string(column + 1) + ": " + message;
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

// Progress goes where the lines for people go, as one live line only on a terminal.
progress_view_t view_for(const run_options_t& options, std::ostream& human, const std::ostream& out) {
    const int fd = options.json ? STDERR_FILENO : STDOUT_FILENO;
    struct winsize ws {};
    const unsigned width = ::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    return progress_view_t(human, !options.quiet && ::isatty(fd) == 1 && &out == &std::cout, width);
}

// A Warning or an Error of the updater's log: "Level: text", or "DATE TIME [PID] Level: text"
// when the log shows time stamps.
bool alert(const std::string& line) {
    const std::size_t stamp =
        std::isdigit(static_cast<unsigned char>(line.c_str()[0])) ? line.find("] ") : std::string::npos;
    const std::size_t at = stamp == std::string::npos ? 0 : stamp + 2;
    return line.compare(at, 9, "Warning: ") == 0 || line.compare(at, 7, "Error: ") == 0;
}

class session_t {
public:
    session_t(const run_options_t& options, std::ostream& out, std::ostream& err)
        : options_(options),
          out_(out),
          err_(err),
          human_(options.quiet  ? null_
                 : options.json ? err
                                : out),
          view_(view_for(options, human_, out)) {}

    int run(const tvk::UpdateConfig& config);
    std::uint64_t received() const { return view_.total_received(); }

private:
    void forward_signals();
    void loop();
    // False when the channel is no longer usable.
    bool handle(std::string_view payload);
    void answer_install(const update_message_t& message);
    void print_request(const update_message_t& message);
    void send(const tvk::Configd2UpdateMessage& message);
    // Passes the updater's log lines above the progress line; `all` at its end.
    void relay_errors(bool all);
    // Shows a line of the updater's standard error, or holds it while quiet.
    void relay_line(const std::string& line);
    // The status for the updater's wait status; what the run ended with, for people and as JSON.
    int finish(int status);
    // Quiet and failed: the Warnings and Errors among the lines held.
    void show_alerts();
    // A check's answer, and the JSON object.
    void show_report(int code);

    const run_options_t& options_;
    std::ostream& out_;
    std::ostream& err_;
    std::ostream null_{nullptr};  // quiet: what a successful run would show
    std::ostream& human_;         // progress and outcome: standard output, or standard error under --json
    progress_view_t view_;
    signal_forwarding_t signals_;
    updater_process_t updater_;
    bool channel_ok_ = true;
    bool child_ended_ = false;  // SIGCHLD seen since the last reap attempt
    bool reaped_ = false;
    int status_ = 0;
    bool timed_out_ = false;
    std::string update_dir_;
    std::string log_file_;  // the configuration's log file, named when the run fails
    std::string errors_;    // of the updater, up to its next line end
    // Quiet: the Warnings and Errors among the updater's latest lines, each with the count of the
    // bytes before it (`seen_` in all), shown if the run fails.
    std::deque<std::pair<std::uint64_t, std::string>> alerts_;
    std::uint64_t seen_ = 0;
    std::string installed_;  // what the installation did, as JSON
};

// Quiet runs show the alerts among this much of the updater's standard error, its latest lines.
constexpr std::size_t held_limit = 65536;

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
                    err_ << "tavik-run: no end after " << options_.timeout << " s, stopping tavik-update" << std::endl;
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

void session_t::print_request(const update_message_t& message) {
    const tvk::InstallRequest& request = message.message().install();
    human_ << "installation request: " << request.to_place_size() << " to place, " << request.to_remove_size()
           << " to remove, " << message.up_to_date_size() << " up to date" << std::endl;
    if (!options_.verbose) return;
    for (const tvk::InstallItem& item : request.to_place()) {
        human_ << "  place   " << item.destination() << " (from " << item.source() << ")\n";
    }
    for (const std::string& path : request.to_remove()) human_ << "  remove  " << path << '\n';
    for (std::size_t i = 0; i < message.up_to_date_size(); ++i) human_ << "  current " << message.up_to_date(i) << '\n';
    human_.flush();
}

void session_t::answer_install(const update_message_t& message) {
    const tvk::InstallRequest& request = message.message().install();
    view_.finish();
    print_request(message);
    tvk::Configd2UpdateMessage answer;
    answer.set_tag(tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
    if (options_.dry_run) {
        human_ << "dry run: nothing installed" << std::endl;
        installed_ = "{\"dry_run\":true}";
    } else {
        const install_outcome_t outcome = install_files(request);
        installed_ = "{\"dry_run\":false,\"ok\":" + std::string(outcome.ok ? "true" : "false") +
                     ",\"placed\":" + std::to_string(outcome.placed.size()) +
                     ",\"removed\":" + std::to_string(outcome.removed.size()) + "}";
        if (outcome.ok) {
            human_ << "installed: " << outcome.placed.size() << " placed, " << outcome.removed.size() << " removed"
                   << std::endl;
        } else {
            human_ << "installation failed: " << error_text(outcome.error) << std::endl;
            *answer.mutable_error() = outcome.error;
        }
        if (!outcome.kept.empty()) {
            human_ << "kept " << outcome.kept.size() << " file(s) listed for removal that were just placed"
                   << std::endl;
        }
    }
    send(answer);
}

bool session_t::handle(std::string_view payload) {
    update_message_t parsed;
    if (!parsed.parse(payload)) {
        view_.finish();
        err_ << "tavik-run: invalid message from tavik-update (" << payload.size() << " bytes)" << std::endl;
        return false;
    }
    const tvk::Update2ConfigdMessage& message = parsed.message();
    const auto now = view_clock::now();
    switch (message.tag()) {
        case tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION:
            if (message.has_check()) view_.check(message.check(), now);
            if (message.has_download()) view_.download(message.download(), now);
            break;
        case tvk::Update2ConfigdMessage::MY_STAT_NOTIFICATION:
            if (message.has_stat()) view_.stat(message.stat(), now);
            break;
        case tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST: answer_install(parsed); break;
    }
    return true;
}

void session_t::loop() {
    frame_reader_t reader;
    std::string_view payload;
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
            relay_line(errors_.substr(0, std::min(end, errors_.size())));
            errors_.erase(0, end == std::string::npos ? errors_.size() : end + 1);
        }
    }
    if (all && !errors_.empty()) relay_line(errors_), errors_.clear();
}

void session_t::relay_line(const std::string& line) {
    if (!options_.quiet) return view_.note(err_, line);
    if (alert(line)) alerts_.emplace_back(seen_, line);
    seen_ += line.size() + 1;
    while (!alerts_.empty() && seen_ - alerts_.front().first > held_limit) alerts_.pop_front();
}

void session_t::show_alerts() {
    for (const auto& a : alerts_) err_ << a.second << '\n';
    err_.flush();
}

int session_t::finish(int status) {
    const bool exited = WIFEXITED(status);
    const int code = exited                ? WEXITSTATUS(status)
                     : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                           : tvk::EC_UNEXPECTED_ERROR;
    const bool failed = code != 0;
    if (failed && options_.quiet) show_alerts();
    std::ostream& outcome = failed && options_.quiet ? err_ : human_;
    // Only defined values go through the enum; other statuses are shown as numbers.
    const std::string text =
        tvk::ErrorCode_IsValid(code) ? error_code_text(static_cast<tvk::ErrorCode>(code)) : std::to_string(code);
    if (exited) outcome << "tavik-update exited with status " << code << " (" << text << ")" << std::endl;
    if (WIFSIGNALED(status))
        outcome << "tavik-update was killed by signal " << WTERMSIG(status) << " (" << signal_name(WTERMSIG(status))
                << ")" << std::endl;
    if (failed && !log_file_.empty())
        err_ << "tavik-run: the log is " << boost::filesystem::path(log_file_) << std::endl;
    if (exited && (options_.json || options_.check)) show_report(code);
    return code;
}

void session_t::show_report(int code) {
    const std::optional<upd::report_file_t> report = this_runs_report(update_dir_, options_.run_id);
    // 95: a run would install from lists that expired everywhere; the answer stands all the same.
    if (options_.check && (code == 0 || code == tvk::EC_UPDATE_EXPIRED)) {
        if (report)
            show_check(human_, *report);
        else
            err_ << "tavik-run: the report of this check cannot be read" << std::endl;
    }
    if (options_.json)
        out_ << json_report(report, code, installed_.empty() ? "null" : installed_, options_.check) << std::endl;
}

int session_t::run(const tvk::UpdateConfig& config) {
    update_dir_ = config.update_dir();
    if (config.actual_log().type() == tvk::Log::FILE) log_file_ = config.actual_log().path();
    try {
        updater_.start(options_.updater);
    } catch (const std::exception& e) {
        err_ << "tavik-run: cannot start " << options_.updater << ": " << exception_text(e) << std::endl;
        return static_cast<int>(exit_code_of(e));
    }

    if (options_.timeout > 0) ::alarm(options_.timeout);

    tvk::Configd2UpdateMessage context;
    context.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
    *context.mutable_config() = config;
    send(context);

    loop();
    view_.finish();
    if (view_.total_sent() || view_.total_received()) human_ << view_.network_text() << std::endl;

    // Closing our end tells an updater that still runs that the channel is gone.
    updater_.close_socket();
    int status = status_;
    const bool reaped =
        reaped_ || updater_.wait(
                       status, [](void* self) { static_cast<session_t*>(self)->forward_signals(); }, this);
    relay_errors(true);
    if (!reaped) {
        err_ << "tavik-run: the exit status of tavik-update is lost" << std::endl;
        return tvk::EC_UNEXPECTED_ERROR;
    }
    return finish(status);
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

int run_session(const run_options_t& options, const tvk::UpdateConfig& config, std::ostream& out, std::ostream& err) {
    run_facts_t facts;
    facts.started = static_cast<std::uint64_t>(std::time(nullptr));
    const auto start = std::chrono::steady_clock::now();
    {
        session_t session(options, out, err);
        facts.status = session.run(config);
        facts.received = session.received();
    }
    facts.duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!options.metrics.empty()) {
        // The zones of the report left before when this run wrote none: their last success stands.
        const auto own = this_runs_report(config.update_dir(), options.run_id);
        write_metrics(options.metrics, metrics_text(facts, own, own ? own : last_report(config.update_dir())), err);
    }
    return facts.status;
}

}  // namespace tavik_run
