// Downloads from a real web server, directly and through a real proxy with Basic and Digest.
#include "control/progress.hpp"
#include "framework/error_code.hpp"
#include "net/downloader.hpp"
#include "support/capture_log.hpp"
#include "support/servers.hpp"
#include "tests/support/test_support.hpp"

#include <boost/filesystem/operations.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <thread>

namespace fs = boost::filesystem;
using tvk_test::nginx_server_t;
using tvk_test::squid_server_t;

namespace {

// One downloader with its own io_service and a progress object whose totals the test reads.
struct client_t {
    explicit client_t(const tvk::Proxy& proxy = tvk::Proxy()) : progress(progress_service, &watcher) {
        downloader.reset(new upd::downloader_t(io_service, progress));
        downloader->set_timeout(std::chrono::seconds(20));
        downloader->add_header("X-Tavik-Test", "1");
        tvk::Proxy settings = proxy;
        if (!settings.has_type()) {
            settings.set_type(tvk::Proxy::PROXY_TYPE_NONE);
        }
        downloader->set_proxy(settings);
    }
    std::uint32_t sent() {
        progress.flush_stat();
        return progress.total_sent();
    }
    std::uint32_t received() {
        progress.flush_stat();
        return progress.total_received();
    }

    boost::asio::io_service io_service;
    boost::asio::io_service progress_service;
    test_support::null_watcher_t watcher;
    upd::progress_t progress;
    std::unique_ptr<upd::downloader_t> downloader;
};

// The code of whatever a call throws, in the form the update engine sees it.
template <class F>
tvk::ErrorCode failure_of(F call) {
    try {
        call();
    } catch (const std::exception& e) {
        return exit_code_of(e);
    } catch (tvk::ErrorCode code) {
        return code;
    }
    return tvk::EC_OK;
}

const char user[] = "updater";
// Basic carries the password verbatim, colon included; the Digest password file cannot hold one.
const char basic_password[] = "s3cret:with colon";
const char digest_password[] = "s3cret with space";

class download_test : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        try {
            nginx.reset(new nginx_server_t);
            basic.reset(new squid_server_t(squid_server_t::auth_t::basic, user, basic_password));
            digest.reset(new squid_server_t(squid_server_t::auth_t::digest, user, digest_password));
        } catch (const std::exception& e) {
            // Reported by every test, naming what is missing (such as the package to install).
            setup_error = e.what();
            return;
        }
        std::mt19937 random(20260612);
        content.resize(1 << 20);
        for (char& c : content) {
            c = static_cast<char>(random());
        }
        tvk_test::write_file(nginx->root() / "big.bin", std::string(content.begin(), content.end()));
        tvk_test::write_file(nginx->root() / "empty.bin", "");
    }
    static void TearDownTestSuite() {
        digest.reset();
        basic.reset();
        nginx.reset();
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(setup_error.empty()) << setup_error;
        out_dir.reset(new tvk_test::temp_dir_t("tavik-download"));
    }
    void TearDown() override { reset_log_for_tests(); }

    static std::unique_ptr<nginx_server_t> nginx;
    static std::unique_ptr<squid_server_t> basic;
    static std::unique_ptr<squid_server_t> digest;
    static std::vector<char> content;
    static std::string setup_error;
    std::unique_ptr<tvk_test::temp_dir_t> out_dir;
};

std::unique_ptr<nginx_server_t> download_test::nginx;
std::unique_ptr<squid_server_t> download_test::basic;
std::unique_ptr<squid_server_t> download_test::digest;
std::vector<char> download_test::content;
std::string download_test::setup_error;

enum class route_t { direct, basic_proxy, digest_proxy };

struct transfer_case_t {
    const char* name;
    bool https;
    route_t route;
    bool to_file;
};

const transfer_case_t transfer_cases[] = {
    {"http_direct_buffer", false, route_t::direct, false},
    {"http_direct_file", false, route_t::direct, true},
    {"https_direct_buffer", true, route_t::direct, false},
    {"https_direct_file", true, route_t::direct, true},
    {"http_basic_proxy_buffer", false, route_t::basic_proxy, false},
    {"http_basic_proxy_file", false, route_t::basic_proxy, true},
    {"https_basic_proxy_buffer", true, route_t::basic_proxy, false},
    {"https_basic_proxy_file", true, route_t::basic_proxy, true},
    {"http_digest_proxy_buffer", false, route_t::digest_proxy, false},
    {"http_digest_proxy_file", false, route_t::digest_proxy, true},
    {"https_digest_proxy_buffer", true, route_t::digest_proxy, false},
    {"https_digest_proxy_file", true, route_t::digest_proxy, true},
};

TEST_F(download_test, one_mebibyte_arrives_byte_identical_on_every_route) {
    for (const transfer_case_t& c : transfer_cases) {
        SCOPED_TRACE(c.name);
        const squid_server_t* proxy =
            c.route == route_t::basic_proxy ? basic.get() : c.route == route_t::digest_proxy ? digest.get() : nullptr;
        const std::size_t proxy_lines = proxy ? proxy->access_log().size() : 0;
        client_t client(proxy ? proxy->proxy(user, proxy == basic.get() ? basic_password : digest_password)
                               : tvk::Proxy());
        const upd::url_t url(c.https ? nginx->https_url("big.bin") : nginx->http_url("big.bin"));

        std::vector<char> got;
        if (c.to_file) {
            const fs::path target = out_dir->path() / c.name;
            ASSERT_NO_THROW(client.downloader->get_to_file(url, target));
            const std::string text = tvk_test::read_file(target);
            got.assign(text.begin(), text.end());
            EXPECT_EQ(fs::status(target).permissions(), fs::owner_read | fs::owner_write);
        } else {
            ASSERT_NO_THROW(got = client.downloader->get_as_buffer(url));
        }
        EXPECT_TRUE(got == content) << "got " << got.size() << " bytes";

        if (proxy) {
            // Accepted after exactly one challenge: a 407 and then the successful request.
            const auto log = proxy->wait_for_access_log(proxy_lines + 2);
            ASSERT_EQ(log.size(), proxy_lines + 2);
            EXPECT_EQ(log[proxy_lines].status, 407);
            EXPECT_EQ(log[proxy_lines + 1].status, 200);
            EXPECT_EQ(log[proxy_lines + 1].user, user);
            EXPECT_EQ(log[proxy_lines + 1].method, c.https ? "CONNECT" : "GET");
        }
    }
}

TEST_F(download_test, empty_body_gives_empty_buffer_and_empty_file) {
    client_t client;
    EXPECT_TRUE(client.downloader->get_as_buffer(upd::url_t(nginx->http_url("empty.bin"))).empty());
    const fs::path target = out_dir->path() / "empty";
    client.downloader->get_to_file(upd::url_t(nginx->https_url("empty.bin")), target);
    ASSERT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);
}

TEST_F(download_test, byte_counts_match_what_the_server_saw) {
    struct count_case_t {
        const char* name;
        bool https;
    };
    for (const count_case_t& c : {count_case_t{"http", false}, count_case_t{"https", true}}) {
        SCOPED_TRACE(c.name);
        const std::size_t lines = nginx->access_log().size();
        client_t client;
        const upd::url_t url(c.https ? nginx->https_url("big.bin") : nginx->http_url("big.bin"));
        client.downloader->get_as_buffer(url);
        const auto log = nginx->wait_for_access_log(lines + 1);
        ASSERT_EQ(log.size(), lines + 1);
        const auto& record = log.back();
        EXPECT_EQ(record.status, 200);
        EXPECT_EQ(record.port, c.https ? nginx->https_port() : nginx->http_port());
        EXPECT_EQ(client.sent(), record.request_length);
        EXPECT_EQ(client.received(), record.bytes_sent);
        EXPECT_GT(record.bytes_sent, content.size());
        // The request that crossed the socket is exactly the one the connection built.
        EXPECT_EQ(client.sent(), client.downloader->connection().request().to_string().size());
    }
}

TEST_F(download_test, missing_file_is_no_such_entry_and_leaves_no_file) {
    for (bool https : {false, true}) {
        SCOPED_TRACE(https ? "https" : "http");
        client_t client;
        const upd::url_t url(https ? nginx->https_url("absent.bin") : nginx->http_url("absent.bin"));
        const fs::path target = out_dir->path() / "absent";
        const auto code = failure_of([&] { client.downloader->get_to_file(url, target); });
        EXPECT_EQ(code, tvk::EC_NO_SUCH_ENTRY);
        EXPECT_FALSE(fs::exists(target));
        EXPECT_EQ(failure_of([&] { client.downloader->get_as_buffer(url); }), tvk::EC_NO_SUCH_ENTRY);
    }
}

TEST_F(download_test, wrong_proxy_password_fails_after_exactly_two_requests) {
    struct wrong_case_t {
        const char* name;
        const squid_server_t* proxy;
        bool https;
    };
    for (const wrong_case_t& c : {wrong_case_t{"basic_http", basic.get(), false},
                                  wrong_case_t{"basic_https", basic.get(), true},
                                  wrong_case_t{"digest_http", digest.get(), false},
                                  wrong_case_t{"digest_https", digest.get(), true}}) {
        SCOPED_TRACE(c.name);
        const std::size_t lines = c.proxy->access_log().size();
        client_t client(c.proxy->proxy(user, "wrong"));
        const upd::url_t url(c.https ? nginx->https_url("big.bin") : nginx->http_url("big.bin"));
        const fs::path target = out_dir->path() / c.name;
        EXPECT_EQ(failure_of([&] { client.downloader->get_to_file(url, target); }), tvk::EC_PROXY_AUTH_ERROR);
        EXPECT_FALSE(fs::exists(target));
        // Give a third request time to show up if one were sent.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto log = c.proxy->wait_for_access_log(lines + 2);
        ASSERT_EQ(log.size(), lines + 2);
        EXPECT_EQ(log[lines].status, 407);
        EXPECT_EQ(log[lines + 1].status, 407);
    }
}

TEST_F(download_test, proxy_without_credentials_is_refused) {
    const std::size_t lines = basic->access_log().size();
    tvk::Proxy proxy = basic->proxy("", "");
    proxy.clear_user();
    proxy.clear_password();
    client_t client(proxy);
    EXPECT_EQ(failure_of([&] { client.downloader->get_as_buffer(upd::url_t(nginx->http_url("big.bin"))); }),
              tvk::EC_PROXY_AUTH_ERROR);
    EXPECT_EQ(basic->wait_for_access_log(lines + 2).size(), lines + 2);
}

TEST_F(download_test, second_download_reuses_the_proxy_authorization) {
    const std::size_t lines = basic->access_log().size();
    client_t client(basic->proxy(user, basic_password));
    const upd::url_t url(nginx->http_url("big.bin"));
    EXPECT_EQ(client.downloader->get_as_buffer(url).size(), content.size());
    EXPECT_EQ(client.downloader->get_as_buffer(url).size(), content.size());
    const auto log = basic->wait_for_access_log(lines + 3);
    ASSERT_EQ(log.size(), lines + 3);
    EXPECT_EQ(log[lines].status, 407);
    EXPECT_EQ(log[lines + 1].status, 200);
    EXPECT_EQ(log[lines + 2].status, 200);
}

TEST_F(download_test, debug_log_names_the_download_and_the_status) {
    auto log = tvk_test::capture_log_t::install();
    client_t client;
    const upd::url_t url(nginx->http_url("big.bin"));
    client.downloader->get_as_buffer(url);
    EXPECT_TRUE(log->contains(cf_log_t::debug, "Downloading " + url.to_string()));
    EXPECT_TRUE(log->contains(cf_log_t::debug, "HTTP status 200 OK"));
    EXPECT_TRUE(log->contains_prefix(cf_log_t::debug, "Connected 127.0.0.1:"));
}

}  // namespace
