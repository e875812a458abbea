// The worker thread's outcomes; each attempt ends at once, racing the main thread (for ThreadSanitizer).
#include "control/progress.hpp"
#include "engine/worker.hpp"
#include "tests/support/support.hpp"

namespace {

TEST(worker, outcomes) {
    auto log = ts::capture_log_t::install();
    ts::scratch_t dir;
    tvk::UpdateConfig config;
    config.set_update_dir((dir / "var").string());
    ts::fs::create_directories(dir / "var");
    int installs = 0;
    const auto attempt = [&](bool answer) {
        boost::asio::io_service main;
        ts::null_watcher_t watcher;
        upd::progress_t progress(main, &watcher);
        const upd::run_settings_t settings = upd::run_settings_t::from(config);
        std::string ended = "loop ran dry";
        const auto on_success = [&](const cf_outcome_t& o) { ended = ts::status(o), main.stop(); };
        upd::worker_t worker(
            main, config, settings, progress,
            [&](auto&, std::function<void()> on_installed) {
                ++installs;
                if (answer)
                    on_installed();
                else
                    main.post([] { throw cf_outcome_t(tvk::EC_PERMISSION_DENIED); });
            },
            on_success);
        worker.start();
        const std::string raised = ts::outcome([&] { main.run(); });
        return raised == "ok" ? ended : raised;
    };
    EXPECT_EQ(attempt(true), "0 (Success)") << "nothing to do still asks for installation";
    EXPECT_EQ(attempt(false), "24 (Permission denied)");
    EXPECT_TRUE(log->has("Debug: Network usage: sent 0, received 0 bytes") &&
                log->has("Debug: Shutting down worker thread..."));
    EXPECT_TRUE(log->has("Warning: Config option network_timeout is not set, using 60 s"));
    config.set_base_installed(true), config.set_base_update_enabled(true),
        config.set_virus_base_dir((dir / "var").string());
    config.set_base_drl_path((dir / "missing.drl").string());
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(attempt(true), "23 (No such file or directory)") << "the first failure, after the fallback";
    EXPECT_EQ(installs, 2);
    EXPECT_TRUE(log->has("Debug: Fallback update from zone BASE is planned") &&
                log->has_prefix("Error: Zone BASE (fallback): "));
    reset_log_for_tests();
}

}  // namespace
