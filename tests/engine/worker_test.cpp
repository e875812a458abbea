// The worker thread: outcome raised on the main loop, installation hand-off, fallback, shutdown.
#include "control/progress.hpp"
#include "engine/worker.hpp"
#include "framework/cf_log.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <string>
#include <vector>

namespace fs = boost::filesystem;

namespace {

class capture_log_t : public cf_log_t {
public:
    explicit capture_log_t(std::vector<std::string>& lines) : lines_(lines) {}
    void open() override {}
    void write(level_t level, const std::string& message) override {
        lines_.push_back(std::string(level_text(level)) + ": " + message);
    }
    void write(const std::string&, int, const std::string& message) override { lines_.push_back(message); }
    void out_of_memory() override {}

private:
    std::vector<std::string>& lines_;
};

struct install_call_t {
    int calls = 0;
    std::size_t to_place = 0;
    std::size_t to_remove = 0;
    std::size_t up_to_date = 0;
};

class worker_test : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / fs::unique_path("worker-%%%%%%%%");
        fs::create_directories(dir_);
        config_.set_update_dir((dir_ / "var").string());
        fs::create_directory(config_.update_dir());
        cf_log_t::level_ = cf_log_t::debug;
        set_log(std::make_shared<capture_log_t>(lines_));
    }
    void TearDown() override {
        reset_log_for_tests();
        fs::remove_all(dir_);
    }

    // Runs the main loop until the worker raises its outcome; returns the thrown code.
    int run_attempt(install_call_t& call, bool answer) {
        upd::progress_t progress(main_, &watcher_);
        upd::worker_t worker(main_, config_, progress,
                             [&](const std::vector<upd::install_entry_t>& to_place, const std::set<std::string>& to_remove,
                                 const std::set<std::string>& up_to_date, std::function<void()> on_installed) {
                                 ++call.calls;
                                 call.to_place = to_place.size();
                                 call.to_remove = to_remove.size();
                                 call.up_to_date = up_to_date.size();
                                 if (answer) on_installed();
                                 else main_.post([] { throw tvk::EC_PERMISSION_DENIED; });
                             });
        worker.start();
        try {
            main_.run();
        } catch (tvk::ErrorCode code) {
            return code;
        } catch (const std::exception& e) {
            return exit_code_of(e);
        }
        return -1;
    }

    bool logged(const std::string& line) const {
        for (const auto& l : lines_) if (l == line) return true;
        return false;
    }

    fs::path dir_;
    tvk::UpdateConfig config_;
    boost::asio::io_service main_;
    test_support::null_watcher_t watcher_;
    std::vector<std::string> lines_;
};

TEST_F(worker_test, attempt_with_nothing_to_do_still_requests_installation_and_ends_with_success) {
    install_call_t call;
    EXPECT_EQ(run_attempt(call, true), tvk::EC_OK);
    EXPECT_EQ(call.calls, 1);
    EXPECT_EQ(call.to_place, 0u);
    EXPECT_EQ(call.to_remove, 0u);
    EXPECT_EQ(call.up_to_date, 0u);
    EXPECT_TRUE(logged("Debug: Network usage: sent 0, received 0 bytes"));
    EXPECT_TRUE(logged("Debug: Shutting down worker thread..."));
}

TEST_F(worker_test, refused_installation_ends_with_the_daemons_code_and_the_worker_is_joined) {
    install_call_t call;
    EXPECT_EQ(run_attempt(call, false), tvk::EC_PERMISSION_DENIED);
    EXPECT_EQ(call.calls, 1);
    EXPECT_TRUE(logged("Debug: Shutting down worker thread..."));
}

TEST_F(worker_test, failed_zone_without_fallback_server_reports_the_first_failure_and_installs_nothing) {
    config_.set_base_installed(true);
    config_.set_base_update_enabled(true);
    config_.set_virus_base_dir((dir_ / "bases").string());
    config_.set_base_drl_path((dir_ / "missing.drl").string());
    fs::create_directory(dir_ / "bases");
    install_call_t call;
    // The DRL file does not exist: the zone fails with the missing file's code.
    EXPECT_EQ(run_attempt(call, true), tvk::EC_NO_SUCH_ENTRY);
    EXPECT_EQ(call.calls, 0);
    EXPECT_TRUE(logged("Debug: Fallback update from zone BASE is planned"));
    bool fallback_error = false;
    for (const auto& l : lines_) fallback_error |= l.rfind("Error: Zone BASE (fallback): ", 0) == 0;
    EXPECT_TRUE(fallback_error);
}

TEST_F(worker_test, zone_without_any_drl_path_fails_with_no_drl_file_found) {
    config_.set_base_installed(true);
    config_.set_base_update_enabled(true);
    install_call_t call;
    EXPECT_EQ(run_attempt(call, true), tvk::EC_UNEXPECTED_ERROR);
    EXPECT_TRUE(logged("Error: Zone BASE: No DRL-file found"));
    EXPECT_EQ(call.calls, 0);
}

TEST_F(worker_test, a_worker_that_never_started_is_destroyed_without_shutting_down_a_thread) {
    upd::progress_t progress(main_, &watcher_);
    { upd::worker_t worker(main_, config_, progress, nullptr); }
    EXPECT_FALSE(logged("Debug: Shutting down worker thread..."));
}

}  // namespace
