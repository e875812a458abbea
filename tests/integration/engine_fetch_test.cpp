// Fetching one update file: packed preferred, plain as the fallback, digests and size limits.
#include "control/progress.hpp"
#include "engine/updater.hpp"
#include "files/checker.hpp"
#include "framework/error_code.hpp"
#include "net/url.hpp"
#include "support/capture_log.hpp"
#include "support/fault_server.hpp"
#include "support/servers.hpp"
#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

namespace {

namespace fs = boost::filesystem;
using tvk_test::capture_log_t;
using behaviour_t = tvk_test::fault_server_t::behaviour_t;

class engine_fetch : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = capture_log_t::install();
        config_.set_network_timeout(5000);
        updater_.reset(new upd::updater_t(io_, progress_, config_));
        checker_.reset(new upd::checker_t(scratch_.path()));
        target_ = scratch_.path() / "file.avc";
    }
    void TearDown() override {
        checker_.reset();
        reset_log_for_tests();
    }

    // SHA-256 of a text, as the file list states it.
    std::string digest_of(const std::string& content) {
        const fs::path p = scratch_.path() / fs::unique_path("digest-%%%%%%");
        tvk_test::write_file(p, content);
        const std::string d = upd::checker_t::hash_file(p).first;
        fs::remove(p);
        return d;
    }

    // Publishes a file on nginx, with its packed form made by the SDK's command-line tool.
    void publish(const std::string& name, const std::string& content, bool packed) {
        tvk_test::write_file(nginx_.root() / name, content);
        if (packed) {
            const std::string in = (nginx_.root() / name).string();
            ASSERT_EQ(std::system(("lzmp -c -k -1 '" + in + "' > '" + in + ".lzma'").c_str()), 0);
        }
    }

    std::vector<std::string> requests() const {
        std::vector<std::string> r;
        for (const auto& a : nginx_.access_log()) r.push_back(a.request);
        return r;
    }

    int failure_code(const std::function<void()>& f) {
        try {
            f();
        } catch (tvk::ErrorCode code) {
            return 1000 + code;  // a bare code, told apart from an exception's
        } catch (const std::exception& e) {
            return to_error_code(error_code_of(e));
        }
        return 0;
    }

    tvk_test::temp_dir_t scratch_{"tavik-fetch"};
    tvk_test::nginx_server_t nginx_;
    std::shared_ptr<capture_log_t> log_;
    boost::asio::io_service io_;
    test_support::null_watcher_t watcher_;
    upd::progress_t progress_{io_, &watcher_};
    tvk::UpdateConfig config_;
    std::unique_ptr<upd::updater_t> updater_;
    std::unique_ptr<upd::checker_t> checker_;
    fs::path target_;
};

const std::string content = "update file content\n";

TEST_F(engine_fetch, packed_form_is_preferred_and_its_container_removed) {
    publish("file.avc", content, true);
    updater_->fetch(*checker_, upd::url_t(nginx_.http_url("file.avc")), target_, digest_of(content), true,
                    content.size());
    EXPECT_EQ(tvk_test::read_file(target_), content);
    EXPECT_FALSE(fs::exists(target_.string() + ".lzma"));
    const auto r = nginx_.wait_for_access_log(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0].request.find("file.avc.lzma"), std::string::npos);
    EXPECT_TRUE(log_->contains_prefix(cf_log_t::notice, "Downloaded file.avc.lzma ("));
}

TEST_F(engine_fetch, missing_packed_form_falls_back_to_the_plain_file_with_one_debug_line) {
    publish("file.avc", content, false);
    updater_->fetch(*checker_, upd::url_t(nginx_.http_url("file.avc")), target_, digest_of(content), true,
                    content.size());
    EXPECT_EQ(tvk_test::read_file(target_), content);
    EXPECT_EQ(nginx_.wait_for_access_log(2).size(), 2u);
    std::size_t lines = 0;
    for (const auto& l : log_->lines) lines += l.second.rfind("Download lzma: ", 0) == 0;
    EXPECT_EQ(lines, 1u);
    EXPECT_TRUE(log_->contains(cf_log_t::notice, "Downloaded file.avc (" + std::to_string(content.size()) + " bytes)"));
}

TEST_F(engine_fetch, packed_form_that_is_no_container_falls_back_to_the_plain_file) {
    publish("file.avc", content, false);
    tvk_test::write_file(nginx_.root() / "file.avc.lzma", "certainly not a container");
    updater_->fetch(*checker_, upd::url_t(nginx_.http_url("file.avc")), target_, digest_of(content), true,
                    content.size());
    EXPECT_EQ(tvk_test::read_file(target_), content);
    EXPECT_TRUE(log_->contains(cf_log_t::debug, "Download lzma: Invalid compressed file"));
    EXPECT_FALSE(fs::exists(target_.string() + ".lzma"));
}

TEST_F(engine_fetch, timestamp_is_requested_only_in_plain_form) {
    publish("timestamp", "1\n", true);
    updater_->fetch(*checker_, upd::url_t(nginx_.http_url("timestamp")), scratch_.path() / "timestamp",
                    digest_of("1\n"), false, 2);
    const auto r = nginx_.wait_for_access_log(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].request.find(".lzma"), std::string::npos);
}

TEST_F(engine_fetch, file_already_downloaded_is_not_requested_at_all) {
    tvk_test::write_file(target_, content);
    updater_->fetch(*checker_, upd::url_t(nginx_.http_url("file.avc")), target_, digest_of(content), true,
                    content.size());
    EXPECT_TRUE(nginx_.access_log().empty());
    EXPECT_TRUE(log_->contains(cf_log_t::debug, "Download: \"" + target_.string() + "\": has already been downloaded"));
}

TEST_F(engine_fetch, wrong_digest_fails_with_bad_checksum_and_no_plain_retry_after_a_packed_download) {
    publish("file.avc", content, true);
    const int code = failure_code([&] {
        updater_->fetch(*checker_, upd::url_t(nginx_.http_url("file.avc")), target_, digest_of("other"), true,
                        content.size());
    });
    EXPECT_EQ(code, tvk::EC_BAD_CHECKSUM);
    EXPECT_TRUE(log_->contains_prefix(cf_log_t::debug, "Download lzma: SHA256: "));
    EXPECT_EQ(nginx_.wait_for_access_log(1).size(), 1u) << "a checksum failure must not try the plain file";
}

TEST_F(engine_fetch, wrong_digest_of_a_plain_download_keeps_the_file_for_the_next_run_to_replace) {
    publish("file.avc", "tampered\n", false);
    const int code = failure_code([&] {
        updater_->fetch(*checker_, upd::url_t(nginx_.http_url("file.avc")), target_, digest_of(content), true, 100);
    });
    EXPECT_EQ(code, tvk::EC_BAD_CHECKSUM);
    EXPECT_EQ(tvk_test::read_file(target_), "tampered\n");
    // The next attempt finds the digest wrong and asks the server again instead of trusting it.
    publish("file.avc", content, false);
    updater_->fetch(*checker_, upd::url_t(nginx_.http_url("file.avc")), target_, digest_of(content), true, 100);
    EXPECT_EQ(tvk_test::read_file(target_), content);
}

TEST_F(engine_fetch, bare_code_from_the_packed_request_passes_through_without_the_plain_request) {
    tvk_test::fault_server_t server({behaviour_t::redirect, behaviour_t::ok}, content);
    const upd::url_t url("http://127.0.0.1:" + std::to_string(server.port()) + "/file.avc");
    const int code = failure_code([&] { updater_->fetch(*checker_, url, target_, digest_of(content), true, 100); });
    EXPECT_EQ(code, 1000 + tvk::EC_UNEXPECTED_ERROR);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_FALSE(log_->contains_prefix(cf_log_t::debug, "Download lzma: "));
}

TEST_F(engine_fetch, packed_download_past_the_container_limit_counts_as_a_bad_container) {
    tvk_test::fault_server_t server({behaviour_t::endless_body, behaviour_t::ok}, content);
    const upd::url_t url("http://127.0.0.1:" + std::to_string(server.port()) + "/file.avc");
    updater_->fetch(*checker_, url, target_, digest_of(content), true, content.size());
    EXPECT_EQ(tvk_test::read_file(target_), content);
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_FALSE(fs::exists(target_.string() + ".lzma"));
}

TEST_F(engine_fetch, plain_download_past_the_listed_size_fails_and_leaves_no_file) {
    tvk_test::fault_server_t server({behaviour_t::endless_body}, content);
    const upd::url_t url("http://127.0.0.1:" + std::to_string(server.port()) + "/file.avc");
    const int code = failure_code([&] { updater_->fetch(*checker_, url, target_, digest_of(content), false, 4096); });
    EXPECT_EQ(code, tvk::EC_LIMIT_REACHED);
    EXPECT_FALSE(fs::exists(target_));
}

}  // namespace
