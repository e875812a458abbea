// The application object: main event loop, signals, control channel and the update context.
#pragma once

#include "control/configd.hpp"
#include "control/progress.hpp"
#include "engine/worker.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/run_lock.hpp"
#include "update_config.pb.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>

#include <memory>

namespace upd {

class inventory_t {
public:
    // Adds SIGHUP, SIGTERM and SIGINT to the signal set ("add" on failure) and arms it.
    inventory_t();
    ~inventory_t();
    inventory_t(const inventory_t&) = delete;
    inventory_t& operator=(const inventory_t&) = delete;

    // Adopts the control channel and runs the event loop until the attempt succeeds or a handler
    // raises a status (either is the outcome; success when the loop runs out of work), or a
    // handler throws a failure, which leaves as it is.
    cf_outcome_t run(int fd);

    // Applies a configuration from the daemon: log, account, work directory, then the attempt.
    void context_ready(const tvk::UpdateConfig& config);

    boost::asio::io_service& io_service() { return io_service_; }
    const std::shared_ptr<configd_t>& configd() const { return configd_; }
    // Valid once a configuration has been applied.
    const tvk::UpdateConfig& config() const { return *config_; }
    progress_t& progress() { return *progress_; }

private:
    void arm_signal_wait();
    void handle_signal(const boost::system::error_code& ec, int signal_number);
    void apply_log(const tvk::UpdateConfig& config);
    // Leaves update_dir/tavik-update.report for an attempt that got its configuration, however it
    // ended.
    void write_report(int status);

    // Starts the attempt once this run holds update_dir's lock; until `deadline` it tries again
    // every 200 ms, then ends with EC_ALREADY_IN_PROGRESS.
    void take_lock(std::chrono::steady_clock::time_point deadline, bool first);
    // Creates and starts the update attempt for the applied configuration.
    void start_attempt();

    boost::asio::io_service io_service_;
    boost::asio::signal_set signals_;
    std::shared_ptr<configd_t> configd_;
    std::unique_ptr<tvk::UpdateConfig> config_;
    run_settings_t settings_;
    std::unique_ptr<progress_t> progress_;
    run_report_t report_;
    std::unique_ptr<run_lock_t> lock_;  // held until the process ends
    boost::asio::steady_timer lock_timer_{io_service_};
    bool locked_out_ = false;
    std::unique_ptr<worker_t> worker_;
    cf_outcome_t outcome_;  // how the loop ended; success until something says otherwise
};

}  // namespace upd
