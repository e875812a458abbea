// The application object: main event loop, signals, control channel and the update context.
#include "app/inventory.hpp"

#include "annotation.pb.h"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/run_lock.hpp"
#include "framework/user_ids.hpp"
#include "framework/work_folder.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <csignal>
#include <grp.h>
#include <stdexcept>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace upd {

namespace {

void add_signal(boost::asio::signal_set& signals, int number) {
    boost::system::error_code ec;
    signals.add(number, ec);
    if (ec) throw boost::system::system_error(ec, "add");
}

std::string log_type_text(tvk::Log::LogType type) {
    const google::protobuf::EnumValueDescriptor* d = tvk::Log::LogType_descriptor()->FindValueByNumber(type);
    if (!d) return std::to_string(static_cast<int>(type));
    if (d->options().HasExtension(tvk::lex)) return d->options().GetExtension(tvk::lex);
    return d->name();
}

[[noreturn]] void throw_errno(const char* what) {
    throw boost::system::system_error(errno, boost::system::system_category(), what);
}

// Gives up root for the account. The supplementary groups go first: setgid and setuid leave
// them alone, so a former root process would otherwise keep root's groups.
void drop_privileges(user_ids_t& user) {
    const gid_t gid = static_cast<gid_t>(user_gid(user));
    if (::geteuid() == 0 && ::setgroups(1, &gid) != 0) throw_errno("setgroups");
    if (::setgid(gid) != 0) throw_errno("setgid");
    if (::setuid(static_cast<uid_t>(user.uid)) != 0) throw_errno("setuid");
}

// A step that a configuration field decides: its failure names the field before its own text.
template <class step_t>
void in_option(const char* field, step_t step) {
    try {
        step();
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("Config option ") + field + ": " + exception_text(e));
    }
}

}  // namespace

inventory_t::inventory_t() : signals_(io_service_) {
    add_signal(signals_, SIGHUP);
    add_signal(signals_, SIGTERM);
    add_signal(signals_, SIGINT);
    arm_signal_wait();
}

inventory_t::~inventory_t() {
    // The attempt's objects go before the client they report to; the worker first, since its
    // thread reads the progress object and the configuration until it is joined.
    worker_.reset();
    progress_.reset();
    config_.reset();
    configd_.reset();
}

void inventory_t::arm_signal_wait() {
    signals_.async_wait([this](const boost::system::error_code& ec, int number) { handle_signal(ec, number); });
}

void inventory_t::handle_signal(const boost::system::error_code& ec, int signal_number) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) throw boost::system::system_error(ec, "Signal handler");
    if (signal_number == SIGHUP) {
        arm_signal_wait();
        return;
    }
    LOG_NOTICE("Termination signal received, exiting...");
    throw cf_outcome_t(tvk::EC_APP_TERMINATED);
}

cf_outcome_t inventory_t::run(int fd) {
    configd_ = std::make_shared<configd_t>();
    configd_->start(io_service_, fd, [this](const tvk::UpdateConfig& config) { context_ready(config); });
    try {
        boost::system::error_code ec;
        io_service_.run(ec);
        if (ec) throw boost::system::system_error(ec);
    } catch (const cf_outcome_t& outcome) {
        outcome_ = outcome;
    } catch (...) {
        // The entry logs the failure and turns it into the status.
        write_report(exit_code_of(std::current_exception()));
        throw;
    }
    write_report(outcome_.code());
    return outcome_;
}

void inventory_t::write_report(int status) {
    boost::system::error_code ec;
    if (!config_ || locked_out_ || !fs::is_directory(config_->update_dir(), ec)) return;  // no work folder to write to
    report_.write(config_->update_dir(), settings_, status, progress_ ? progress_->received() : 0);
}

void inventory_t::apply_log(const tvk::UpdateConfig& config) {
    cf_log_t::level_ = cf_log_t::from_config(config.log_level());
    std::shared_ptr<cf_log_t> sink = make_log(config.actual_log());
    if (sink) {
        set_log(std::move(sink));
        return;
    }
    // The daemon resolves Auto before sending; should it slip through, keep the lines visible.
    set_log(std::make_shared<cf_console_log_t>());
    LOG_WARNING("Log type " << log_type_text(config.actual_log().type())
                            << " is not resolved, logging to standard error");
}

void inventory_t::context_ready(const tvk::UpdateConfig& config) {
    config_ = std::make_unique<tvk::UpdateConfig>(config);
    settings_ = run_settings_t::from(config);
    try {
        in_option("actual_log", [&] { apply_log(*config_); });
        if (settings_.rate_malformed)
            LOG_WARNING("TAVIK_MAX_RATE is not a rate from 1k to 1024M bytes a second; downloads are not limited");
        user_ids_t user;
        in_option("run_as_user", [&] { user = resolve_user(config_->run_as_user()); });

        const fs::path update_dir(config_->update_dir());
        if (update_dir.empty()) throw std::runtime_error("Config option update_dir is empty");
        in_option("update_dir", [&] {
            if (!fs::exists(fs::status(update_dir))) fs::create_directory(update_dir);
        });

        if (user.uid != ::getuid()) {
            try {
                // The account's group first: a uid without an account is the account's fault.
                in_option("run_as_user", [&] { user_gid(user); });
                in_option("update_dir", [&] { take_ownership(user, update_dir); });
                in_option("run_as_user", [&] { drop_privileges(user); });
                LOG_DEBUG("Run as user " << user_text(user));
            } catch (const std::exception& e) {
                LOG_ERROR(exception_text(e));
                throw std::runtime_error("Config option run_as_user: Can not run as user " + user_text(user));
            }
        }
    } catch (const std::exception& e) {
        LOG_ERROR(exception_text(e));
        throw boost::system::system_error(tvk::make_error_code(tvk::EC_BAD_CONFIG));
    }

    auto progress = std::make_unique<progress_t>(io_service_, configd_.get());
    progress_ = std::move(progress);
    // As the run-as account: what it opens there is its own.
    lock_ = std::make_unique<run_lock_t>(config_->update_dir() + "/" + work_folder::lock);
    take_lock(std::chrono::steady_clock::now() + std::chrono::seconds(settings_.lock_wait), true);
}

void inventory_t::take_lock(std::chrono::steady_clock::time_point deadline, bool first) {
    if (lock_->try_lock()) return start_attempt();
    const long pid = lock_->holder();
    const std::string held = "Another run holds the lock on update_dir " +
                             boost::lexical_cast<std::string>(fs::path(config_->update_dir())) +
                             (pid ? " (process " + std::to_string(pid) + ")" : "");
    if (std::chrono::steady_clock::now() >= deadline) {
        // What the other run is doing is its report, not ours.
        locked_out_ = true;
        LOG_ERROR(held);
        throw cf_outcome_t(tvk::EC_ALREADY_IN_PROGRESS);
    }
    if (first) LOG_NOTICE(held << "; waiting up to " << settings_.lock_wait << " s");
    lock_timer_.expires_after(std::chrono::milliseconds(200));
    lock_timer_.async_wait([this, deadline](const boost::system::error_code& ec) {
        if (ec == boost::asio::error::operation_aborted) return;
        take_lock(deadline, false);
    });
}

void inventory_t::start_attempt() {
    std::shared_ptr<configd_t> client = configd_;
    auto worker = std::make_unique<worker_t>(
        io_service_, *config_, settings_, *progress_,
        [client](const install_plan_t& plan, std::function<void()> on_installed) {
            client->request_install(plan, std::move(on_installed));
        },
        [this](const cf_outcome_t& outcome) {
            outcome_ = outcome;
            io_service_.stop();
        },
        &report_);
    worker_ = std::move(worker);
    worker_->start();
}

}  // namespace upd
