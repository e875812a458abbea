// The worker thread that carries out one update attempt beside the main event loop.
#pragma once

#include "control/configd.hpp"
#include "engine/updater.hpp"
#include "framework/cf_outcome.hpp"

#include "update_config.pb.h"

#include <boost/asio/io_service.hpp>
#include <boost/thread/thread.hpp>

#include <exception>
#include <functional>

namespace upd {

class progress_t;

class worker_t {
public:
    // Runs on the main thread: sends the installation request and calls back once it succeeded.
    using install_request_t = std::function<void(const install_plan_t& plan, std::function<void()> on_installed)>;
    // Runs on the main thread with the outcome of an attempt that succeeded; a failed attempt
    // raises its failure there instead.
    using on_success_t = std::function<void(const cf_outcome_t& outcome)>;

    // The attempt records what it did in `report` (none: nowhere).
    worker_t(boost::asio::io_service& main_io_service, const tvk::UpdateConfig& config, const run_settings_t& settings,
             progress_t& progress, install_request_t request_install, on_success_t on_success,
             run_report_t* report = nullptr);
    worker_t(const worker_t&) = delete;
    worker_t& operator=(const worker_t&) = delete;
    // Interrupts the attempt, stops its network I/O and joins the thread.
    ~worker_t();

    void start();

private:
    void run();
    void update();
    void update_fallback();
    void install(const updater_t& updater);

    boost::asio::io_service& main_io_service_;
    const tvk::UpdateConfig& config_;
    const run_settings_t& settings_;
    progress_t& progress_;
    install_request_t request_install_;
    on_success_t on_success_;
    run_report_t* report_;
    boost::asio::io_service io_service_;
    boost::thread thread_;
};

}  // namespace upd
