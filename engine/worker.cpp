// The worker thread that carries out one update attempt beside the main event loop.
#include "engine/worker.hpp"

#include "control/progress.hpp"
#include "framework/cf_log.hpp"

#include <boost/thread/future.hpp>

#include <memory>
#include <mutex>

namespace upd {

worker_t::worker_t(boost::asio::io_service& main_io_service, const tvk::UpdateConfig& config,
                   const run_settings_t& settings, progress_t& progress, install_request_t request_install,
                   on_success_t on_success, run_report_t* report)
    : main_io_service_(main_io_service),
      config_(config),
      settings_(settings),
      progress_(progress),
      request_install_(std::move(request_install)),
      on_success_(std::move(on_success)),
      report_(report) {}

worker_t::~worker_t() {
    if (thread_.joinable()) {
        LOG_DEBUG("Shutting down worker thread...");
        thread_.interrupt();
        io_service_.stop();
        thread_.join();
    }
    thread_.detach();
}

void worker_t::start() {
    thread_ = boost::thread([this] { run(); });
}

void worker_t::run() {
    std::exception_ptr failure;
    try {
        update();
    } catch (...) {
        failure = std::current_exception();
    }
    // Moved, not copied: the worker thread must keep no reference to the failure, or its last
    // release could run here while the main thread still handles the rethrown exception.
    main_io_service_.post([failure = std::move(failure), on_success = on_success_] {
        if (failure) std::rethrow_exception(failure);
        on_success(cf_outcome_t(tvk::EC_OK));
    });
}

void worker_t::update() {
    updater_t updater(io_service_, progress_, settings_);
    updater.set_report(report_);
    if (settings_.check) {
        updater.check(config_);  // nothing to install and nothing to fall back on: a failure is the status as it is
    } else {
        try {
            updater.update(config_);
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (...) {
            std::exception_ptr first = std::current_exception();
            update_fallback();
            std::rethrow_exception(first);
        }
        install(updater);
        updater.record_stamps(config_);  // only once the daemon has accepted the installation
    }
    // Installed all the same: it is authentic and no older than what was there. A daemon takes the
    // status for a failed run and asks again later, when a frozen mirror may have thawed; a check
    // ends as the run would.
    if (updater.expired_list()) throw cf_outcome_t(tvk::EC_UPDATE_EXPIRED);
}

void worker_t::update_fallback() {
    updater_t updater(io_service_, progress_, settings_);
    updater.fallback(config_);
    if (updater.plan().to_place_count() != 0) install(updater);
}

void worker_t::install(const updater_t& updater) {
    auto promise = std::make_shared<boost::promise<void>>();
    boost::unique_future<void> installed = promise->get_future();
    progress_t& progress = progress_;
    install_request_t& request = request_install_;
    // The main thread writes the request from the updater's plan, which stays as it is while this
    // thread waits below: no copy of the paths is made for the hand-over. An attempt interrupted
    // meanwhile leaves a request not yet written unwritten, and waits for one being written.
    struct hand_over_t {
        std::mutex mutex;
        bool abandoned = false;
    };
    auto hand_over = std::make_shared<hand_over_t>();
    const install_plan_t& plan = updater.plan();
    main_io_service_.post([&progress, &request, &plan, promise, hand_over] {
        std::lock_guard<std::mutex> lock(hand_over->mutex);
        if (hand_over->abandoned) return;
        progress.flush_stat();
        LOG_DEBUG("Network usage: sent " << progress.total_sent() << ", received " << progress.total_received()
                                         << " bytes");
        request(plan, [promise] { promise->set_value(); });
    });
    try {
        installed.get();
    } catch (...) {
        std::lock_guard<std::mutex> lock(hand_over->mutex);
        hand_over->abandoned = true;
        throw;
    }
}

}  // namespace upd
