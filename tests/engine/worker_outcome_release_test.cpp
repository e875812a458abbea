// The outcome of an attempt crosses from the worker thread to the main loop without the worker
// keeping a reference to it; run under ThreadSanitizer (scripts/sanitize) this catches the
// worker releasing the exception while the main thread still reads it.
#include "control/progress.hpp"
#include "engine/worker.hpp"
#include "framework/cf_log.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace {

TEST(worker_outcome, failure_is_released_on_the_main_thread_in_every_attempt) {
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("worker-outcome-%%%%%%%%");
    fs::create_directories(dir / "var");
    fs::create_directories(dir / "bases");
    set_log(std::make_shared<test_support::null_log_t>());
    tvk::UpdateConfig config;
    config.set_update_dir((dir / "var").string());
    config.set_base_installed(true);
    config.set_base_update_enabled(true);
    config.set_virus_base_dir((dir / "bases").string());
    config.set_base_drl_path((dir / "missing.drl").string());

    // Each attempt fails at once (no DRL file), so the hand-over races with the main thread's
    // handling of the outcome as closely as it can.
    for (int attempt = 0; attempt < 20; ++attempt) {
        boost::asio::io_service main;
        test_support::null_watcher_t watcher;
        upd::progress_t progress(main, &watcher);
        int installs = 0;
        int outcome = -1;
        {
            upd::worker_t worker(main, config, progress,
                                 [&](const std::vector<upd::install_entry_t>&, const std::set<std::string>&,
                                     const std::set<std::string>&, std::function<void()> on_installed) {
                                     ++installs;
                                     on_installed();
                                 });
            worker.start();
            try {
                main.run();
            } catch (tvk::ErrorCode code) {
                outcome = code;
            }
        }
        EXPECT_EQ(outcome, tvk::EC_NO_SUCH_ENTRY) << "attempt " << attempt;
        EXPECT_EQ(installs, 0) << "attempt " << attempt;
    }
    reset_log_for_tests();
    fs::remove_all(dir);
}

}  // namespace
