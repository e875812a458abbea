// The connection and the downloader against a server that misbehaves on purpose, and the exact
// bytes of every request in each of the four connection modes.
#include "control/progress.hpp"
#include "framework/cf_proto_exception.hpp"
#include "framework/error_code.hpp"
#include "net/downloader.hpp"
#include "net/http_connection.hpp"
#include "net/proxy_auth.hpp"
#include "support/capture_log.hpp"
#include "support/fault_server.hpp"
#include "support/servers.hpp"
#include "tests/support/test_support.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/thread/thread.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <iostream>
#include <memory>
#include <thread>

namespace fs = boost::filesystem;
using behaviour_t = tvk_test::fault_server_t::behaviour_t;
using tvk_test::capture_log_t;
using tvk_test::fault_server_t;

namespace {

struct progress_box_t {
    progress_box_t() : progress(service, &watcher) {}
    std::uint32_t sent() {
        progress.flush_stat();
        return progress.total_sent();
    }
    std::uint32_t received() {
        progress.flush_stat();
        return progress.total_received();
    }
    boost::asio::io_service service;
    test_support::null_watcher_t watcher;
    upd::progress_t progress;
};

// What a call threw: the code the update engine would see and the logged text.
struct failure_t {
    bool thrown = false;
    bool bare_code = false;
    tvk::ErrorCode code = tvk::EC_OK;
    std::string text;
};

template <class F>
failure_t failure_of(F call) {
    failure_t failure;
    try {
        call();
    } catch (const std::exception& e) {
        failure.thrown = true;
        failure.code = exit_code_of(e);
        failure.text = exception_text(e);
    } catch (tvk::ErrorCode code) {
        failure.thrown = true;
        failure.bare_code = true;
        failure.code = code;
    }
    return failure;
}

tvk::Proxy proxy_at(std::uint16_t port, const std::string& user, const std::string& password) {
    tvk::Proxy proxy;
    proxy.set_type(tvk::Proxy::PROXY_TYPE_HTTP);
    proxy.set_host("127.0.0.1");
    proxy.set_port(port);
    proxy.set_user(user);
    proxy.set_password(password);
    return proxy;
}

std::string endpoint_text(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port) + " [127.0.0.1]"; }

std::string local_url(std::uint16_t port, const std::string& file) {
    return "http://127.0.0.1:" + std::to_string(port) + "/" + file;
}

class fault_test : public ::testing::Test {
protected:
    void SetUp() override { log = capture_log_t::install(); }
    void TearDown() override {
        if (HasFailure()) {
            for (const auto& line : log->lines) {
                std::cerr << "log " << line.first << ": " << line.second << "\n";
            }
        }
        reset_log_for_tests();
    }

    std::shared_ptr<capture_log_t> log;
    boost::asio::io_service io_service;
    progress_box_t box;
    tvk_test::temp_dir_t dir{"tavik-fault"};
};

// A connection set up the way the downloader sets it up, with listeners that keep what arrives.
struct recording_connection_t {
    recording_connection_t(boost::asio::io_service& io_service, upd::progress_t& progress)
        : connection(io_service, progress) {
        connection.set_method("GET");
        connection.add_header("Connection", "close");
        connection.add_header("Accept", "*/*");
        connection.set_timeout(std::chrono::seconds(10));
        connection.response_received.connect([this](const upd::http_response_t& r) { statuses.push_back(r.status()); });
        connection.data_received.connect([this](const std::vector<char>& d) { body.append(d.begin(), d.end()); });
    }
    upd::http_connection_t connection;
    std::vector<int> statuses;
    std::string body;
};

// ---------------------------------------------------------------------------------------------
// Broken servers, seen by the connection itself

TEST_F(fault_test, broken_answers_end_with_their_exact_code_and_text) {
    struct case_t {
        const char* name;
        behaviour_t behaviour;
        std::chrono::milliseconds timeout;
        bool fails;
        tvk::ErrorCode code;
        const char* text;  // followed by the endpoint description
        const char* body;
    };
    const case_t cases[] = {
        {"close_before_head", behaviour_t::close_before_head, std::chrono::milliseconds(10000), true,
         tvk::EC_NETWORK_ERROR, "Receive: End of file: ", ""},
        {"never_answer", behaviour_t::never_answer, std::chrono::milliseconds(300), true, tvk::EC_NETWORK_TIMEDOUT,
         "IO: Network operation timed out: ", ""},
        {"close_mid_body_is_a_short_body", behaviour_t::close_mid_body, std::chrono::milliseconds(10000), false,
         tvk::EC_OK, "", "fault server body\n"},
        {"head_one_byte_per_write", behaviour_t::head_byte_by_byte, std::chrono::milliseconds(10000), false,
         tvk::EC_OK, "", "fault server body\n"},
        // 750 ms in all, but no step waits longer than the 300 ms time-out.
        {"slow_body_within_each_step", behaviour_t::slow_body, std::chrono::milliseconds(300), false, tvk::EC_OK,
         "", "fault server body\n"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        fault_server_t server({c.behaviour});
        recording_connection_t rc(io_service, box.progress);
        rc.connection.set_timeout(c.timeout);
        rc.connection.open(upd::url_t(local_url(server.port(), "file")));
        const auto started = std::chrono::steady_clock::now();
        const failure_t failure = failure_of([&] { rc.connection.execute(); });
        EXPECT_EQ(failure.thrown, c.fails);
        EXPECT_EQ(failure.code, c.code);
        if (c.fails) {
            EXPECT_EQ(failure.text, c.text + endpoint_text(server.port()));
            EXPECT_TRUE(rc.statuses.empty());
        } else {
            EXPECT_EQ(rc.statuses, std::vector<int>{200});
        }
        EXPECT_EQ(rc.body, c.body);
        EXPECT_EQ(rc.connection.exchange_state(), upd::http_connection_t::st_done);
        if (c.behaviour == behaviour_t::never_answer) {
            // One time-out, not several stacked ones.
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3000));
        }
    }
}

TEST_F(fault_test, refused_connection_is_a_connect_network_error) {
    const std::uint16_t port = tvk_test::free_port();
    recording_connection_t rc(io_service, box.progress);
    rc.connection.open(upd::url_t(local_url(port, "file")));
    const failure_t failure = failure_of([&] { rc.connection.execute(); });
    EXPECT_EQ(failure.code, tvk::EC_NETWORK_ERROR);
    EXPECT_EQ(failure.text, "Connect: Connection refused: " + endpoint_text(port));
}

TEST_F(fault_test, connect_that_never_completes_is_a_connect_time_out) {
    // A listener with a full accept queue leaves further handshakes unanswered.
    namespace ip = boost::asio::ip;
    ip::tcp::acceptor full(io_service, ip::tcp::endpoint(ip::address_v4::loopback(), 0));
    full.listen(0);
    const std::uint16_t port = full.local_endpoint().port();
    // Non-blocking connects that fill the queue; asio's own connect would wait for them.
    std::vector<ip::tcp::socket> fillers;
    for (int i = 0; i < 2; ++i) {
        fillers.emplace_back(io_service, ip::tcp::v4());
        fillers.back().non_blocking(true);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fillers.back().native_handle(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    recording_connection_t rc(io_service, box.progress);
    rc.connection.set_timeout(std::chrono::milliseconds(300));
    rc.connection.open(upd::url_t(local_url(port, "file")));
    const failure_t failure = failure_of([&] { rc.connection.execute(); });
    EXPECT_EQ(failure.code, tvk::EC_NETWORK_TIMEDOUT);
    EXPECT_EQ(failure.text, "Connect: Network operation timed out: " + endpoint_text(port));
}

TEST_F(fault_test, proxy_refusing_the_tunnel_fails_the_tls_handshake) {
    fault_server_t proxy({behaviour_t::tunnel_refused});
    recording_connection_t rc(io_service, box.progress);
    rc.connection.set_proxy(proxy_at(proxy.port(), "u", "p"));
    rc.connection.open(upd::url_t("https://update.test/file"));
    const failure_t failure = failure_of([&] { rc.connection.execute(); });
    EXPECT_EQ(failure.code, tvk::EC_NETWORK_ERROR);
    EXPECT_EQ(failure.text.rfind("SSL handshake: ", 0), 0u) << failure.text;
    EXPECT_TRUE(rc.body.empty()) << "the proxy's page must not pass for the server's body";
}

TEST_F(fault_test, unsupported_scheme_fails_before_any_connection) {
    fault_server_t server({behaviour_t::ok});
    recording_connection_t rc(io_service, box.progress);
    const failure_t failure =
        failure_of([&] { rc.connection.open(upd::url_t("ftp://127.0.0.1:" + std::to_string(server.port()) + "/f")); });
    EXPECT_TRUE(failure.bare_code);
    EXPECT_EQ(failure.code, tvk::EC_UNEXPECTED_ERROR);
    EXPECT_TRUE(log->contains(cf_log_t::error, "Unsupported protocol ftp"));
    EXPECT_EQ(server.connections(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Broken servers, seen through the downloader

TEST_F(fault_test, redirect_is_not_followed) {
    fault_server_t server({behaviour_t::redirect});
    upd::downloader_t downloader(io_service, box.progress);
    downloader.set_timeout(std::chrono::seconds(10));
    const fs::path target = dir.path() / "redirected";
    const failure_t failure =
        failure_of([&] { downloader.get_to_file(upd::url_t(local_url(server.port(), "f")), target); });
    EXPECT_TRUE(failure.bare_code);
    EXPECT_EQ(failure.code, tvk::EC_UNEXPECTED_ERROR);
    EXPECT_TRUE(log->contains(cf_log_t::debug, "HTTP status 301 Moved Permanently"));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(server.connections(), 1u);
}

TEST_F(fault_test, challenges_that_cannot_be_answered_end_after_one_request) {
    struct case_t {
        const char* name;
        behaviour_t behaviour;
        bool through_proxy;
        const char* error_line;
    };
    const case_t cases[] = {
        {"digest_with_auth_int", behaviour_t::challenge_auth_int, true,
         "Digest authentication with qop=\"auth,auth-int\" is not supported"},
        {"407_without_a_proxy", behaviour_t::challenge_basic, false, nullptr},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        fault_server_t server({c.behaviour});
        upd::downloader_t downloader(io_service, box.progress);
        downloader.set_timeout(std::chrono::seconds(10));
        if (c.through_proxy) {
            downloader.set_proxy(proxy_at(server.port(), "u", "p"));
        }
        const failure_t failure = failure_of(
            [&] { downloader.get_as_buffer(upd::url_t(local_url(server.port(), "f"))); });
        EXPECT_EQ(failure.code, tvk::EC_PROXY_AUTH_ERROR);
        EXPECT_EQ(server.requests().size(), 1u);
        if (c.error_line) {
            EXPECT_TRUE(log->contains(cf_log_t::error, c.error_line));
        }
    }
}

TEST_F(fault_test, endless_body_is_cut_at_the_limit) {
    fault_server_t server({behaviour_t::endless_body});
    const upd::url_t url(local_url(server.port(), "endless"));
    {
        upd::downloader_t downloader(io_service, box.progress);
        downloader.set_timeout(std::chrono::seconds(10));
        const failure_t failure = failure_of([&] { downloader.get_as_buffer(url); });
        EXPECT_EQ(failure.code, tvk::EC_LIMIT_REACHED);
        EXPECT_EQ(failure.text, "Body exceeds the limit of 33554432 bytes: " + url.to_string());
    }
    struct limit_case_t {
        const char* name;
        std::uint64_t limit;
    };
    for (const limit_case_t& c : {limit_case_t{"zero", 0}, limit_case_t{"one_mebibyte", 1048576}}) {
        SCOPED_TRACE(c.name);
        upd::downloader_t downloader(io_service, box.progress);
        downloader.set_timeout(std::chrono::seconds(10));
        const fs::path target = dir.path() / "endless";
        const failure_t failure = failure_of([&] { downloader.get_to_file(url, target, c.limit); });
        EXPECT_EQ(failure.code, tvk::EC_LIMIT_REACHED);
        EXPECT_EQ(failure.text, "Body exceeds the limit of " + std::to_string(c.limit) + " bytes: " + url.to_string());
        EXPECT_FALSE(fs::exists(target));
    }
}

TEST_F(fault_test, body_at_the_limit_is_accepted) {
    fault_server_t server({behaviour_t::ok}, std::string(1000, 'b'));
    upd::downloader_t downloader(io_service, box.progress);
    downloader.set_timeout(std::chrono::seconds(10));
    const fs::path target = dir.path() / "exact";
    downloader.get_to_file(upd::url_t(local_url(server.port(), "f")), target, std::uint64_t(1000));
    EXPECT_EQ(tvk_test::read_file(target), std::string(1000, 'b'));
    const failure_t failure = failure_of(
        [&] { downloader.get_to_file(upd::url_t(local_url(server.port(), "f")), target, std::uint64_t(999)); });
    EXPECT_EQ(failure.code, tvk::EC_LIMIT_REACHED);
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(fault_test, file_in_missing_directory_fails_with_open_before_connecting) {
    fault_server_t server({behaviour_t::ok});
    upd::downloader_t downloader(io_service, box.progress);
    downloader.set_timeout(std::chrono::seconds(10));
    const fs::path target = dir.path() / "no" / "such" / "file";
    try {
        downloader.get_to_file(upd::url_t(local_url(server.port(), "f")), target);
        ADD_FAILURE() << "no exception";
    } catch (const boost::filesystem::filesystem_error& e) {
        EXPECT_EQ(e.path1(), target);
        EXPECT_EQ(to_error_code(e.code()), tvk::EC_NO_SUCH_ENTRY);
        EXPECT_EQ(std::string(exception_text(e)).rfind("open", 0), 0u) << exception_text(e);
    }
    EXPECT_EQ(server.connections(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Walking through addresses

TEST_F(fault_test, download_moves_on_to_the_next_address_after_a_refusal) {
    fault_server_t server({behaviour_t::ok});
    const std::uint16_t refusing = tvk_test::free_port();
    const auto loopback = boost::asio::ip::address_v4::loopback();
    struct case_t {
        const char* name;
        bool to_file;
    };
    for (const case_t& c : {case_t{"buffer", false}, case_t{"file", true}}) {
        SCOPED_TRACE(c.name);
        upd::downloader_t downloader(io_service, box.progress);
        downloader.set_timeout(std::chrono::seconds(10));
        // The name "resolves" to two addresses, the first of which refuses connections.
        downloader.connection().endpoint_queue().assign(
            "127.0.0.1", std::to_string(server.port()),
            {{loopback, refusing}, {loopback, server.port()}});
        const upd::url_t url(local_url(server.port(), "f"));
        const fs::path target = dir.path() / "walked";
        std::string body;
        if (c.to_file) {
            downloader.get_to_file(url, target);
            body = tvk_test::read_file(target);
        } else {
            const auto buffer = downloader.get_as_buffer(url);
            body.assign(buffer.begin(), buffer.end());
        }
        EXPECT_EQ(body, server.body());
        EXPECT_TRUE(log->contains(cf_log_t::debug, "Connect: Connection refused: " + endpoint_text(server.port())));
        EXPECT_EQ(downloader.connection().endpoint_queue().size(), 1u);
    }
}

TEST_F(fault_test, used_up_addresses_fail_at_once_without_resolving_again) {
    fault_server_t server({behaviour_t::close_before_head});
    upd::downloader_t downloader(io_service, box.progress);
    downloader.set_timeout(std::chrono::seconds(10));
    const upd::url_t url(local_url(server.port(), "f"));
    const fs::path target = dir.path() / "used-up";
    const failure_t first = failure_of([&] { downloader.get_to_file(url, target); });
    EXPECT_EQ(first.code, tvk::EC_NO_UPDATE_SERVERS);
    EXPECT_TRUE(log->contains(cf_log_t::debug, "Receive: End of file: " + endpoint_text(server.port())));
    EXPECT_TRUE(log->contains(cf_log_t::debug, "All resolved endpoints have been used: 127.0.0.1:" +
                                                   std::to_string(server.port())));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(server.connections(), 1u);

    const failure_t second = failure_of([&] { downloader.get_as_buffer(upd::url_t(local_url(server.port(), "g"))); });
    EXPECT_EQ(second.code, tvk::EC_NO_UPDATE_SERVERS);
    EXPECT_EQ(server.connections(), 1u);
}

TEST_F(fault_test, tls_download_recovers_from_a_failed_handshake_on_the_first_address) {
    const tvk_test::certificate_t certificate = tvk_test::make_self_signed_certificate(dir.path());
    fault_server_t broken({behaviour_t::close_at_once});
    fault_server_t server({behaviour_t::tls_ok}, "over tls", certificate.certificate, certificate.key);
    const auto loopback = boost::asio::ip::address_v4::loopback();
    upd::downloader_t downloader(io_service, box.progress);
    downloader.set_timeout(std::chrono::seconds(10));
    downloader.connection().endpoint_queue().assign("127.0.0.1", std::to_string(server.port()),
                                                    {{loopback, broken.port()}, {loopback, server.port()}});
    const auto body = downloader.get_as_buffer(upd::url_t("https://127.0.0.1:" + std::to_string(server.port()) + "/f"));
    EXPECT_EQ(std::string(body.begin(), body.end()), "over tls");
    EXPECT_TRUE(log->contains_prefix(cf_log_t::debug, "SSL handshake: "));
    EXPECT_EQ(broken.connections(), 1u);
}

TEST_F(fault_test, interrupted_download_leaves_no_file) {
    fault_server_t server({behaviour_t::ok});
    const fs::path target = dir.path() / "interrupted";
    bool interrupted = false;
    boost::thread worker([&] {
        upd::downloader_t downloader(io_service, box.progress);
        downloader.set_timeout(std::chrono::seconds(10));
        // Not an interruption point: the request is pending by the time the download starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        try {
            downloader.get_to_file(upd::url_t(local_url(server.port(), "f")), target);
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
        }
    });
    worker.interrupt();
    worker.join();
    EXPECT_TRUE(interrupted);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(server.connections(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Request bytes in each mode

TEST_F(fault_test, requests_carry_exact_bytes_in_every_mode) {
    const tvk_test::certificate_t certificate = tvk_test::make_self_signed_certificate(dir.path());
    const std::string basic = "Proxy-Authorization: Basic " + upd::base64_encode("u:p") + "\r\n";
    const std::string tail = "Connection: close\r\nAccept: */*\r\nX-Extra: 1\r\n";
    struct case_t {
        const char* name;
        std::vector<behaviour_t> script;
        bool proxy;
        std::string url;  // "{port}" stands for the fault server's port
        std::vector<std::string> requests;
        std::vector<std::string> server_names;
    };
    const case_t cases[] = {
        {"plain_direct",
         {behaviour_t::ok},
         false,
         "http://127.0.0.1:{port}/dir/version.lst",
         {"GET http://127.0.0.1:{port}/dir/version.lst HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n" + tail + "\r\n"},
         {}},
        {"tls_direct_ip_literal_sends_no_server_name",
         {behaviour_t::tls_ok},
         false,
         "https://127.0.0.1:{port}/dir/version.lst",
         {"GET https://127.0.0.1:{port}/dir/version.lst HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n" + tail + "\r\n"},
         {""}},
        {"tls_direct_name_is_the_server_name",
         {behaviour_t::tls_ok},
         false,
         "https://localhost:{port}/v.lst",
         {"GET https://localhost:{port}/v.lst HTTP/1.1\r\nHost: localhost:{port}\r\n" + tail + "\r\n"},
         {"localhost"}},
        {"plain_through_proxy_with_basic_retry",
         {behaviour_t::challenge_basic, behaviour_t::ok},
         true,
         "http://update.test/dir/version.lst",
         {"GET http://update.test/dir/version.lst HTTP/1.1\r\nHost: update.test\r\n" + tail + "\r\n",
          "GET http://update.test/dir/version.lst HTTP/1.1\r\nHost: update.test\r\n" + tail + basic + "\r\n"},
         {}},
        {"tunnel_with_basic_retry",
         {behaviour_t::challenge_basic, behaviour_t::tunnel},
         true,
         "https://update.test/dir/version.lst",
         {"CONNECT update.test:443 HTTP/1.1\r\nHost: update.test:443\r\n\r\n",
          "CONNECT update.test:443 HTTP/1.1\r\nHost: update.test:443\r\n" + basic + "\r\n",
          "GET https://update.test/dir/version.lst HTTP/1.1\r\nHost: update.test\r\n" + tail + basic + "\r\n"},
         {"update.test"}},
        {"tunnel_to_explicit_port",
         {behaviour_t::tunnel},
         true,
         "https://update.test:8443/v.lst",
         {"CONNECT update.test:8443 HTTP/1.1\r\nHost: update.test:8443\r\n\r\n",
          "GET https://update.test:8443/v.lst HTTP/1.1\r\nHost: update.test:8443\r\n" + tail + "\r\n"},
         {"update.test"}},
    };
    auto with_port = [](std::string text, std::uint16_t port) {
        for (std::size_t at; (at = text.find("{port}")) != std::string::npos;) {
            text.replace(at, 6, std::to_string(port));
        }
        return text;
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        fault_server_t server(c.script, "fault server body\n", certificate.certificate, certificate.key);
        progress_box_t counts;
        upd::downloader_t downloader(io_service, counts.progress);
        downloader.add_header("X-Extra", "1");
        downloader.set_timeout(std::chrono::seconds(10));
        if (c.proxy) {
            downloader.set_proxy(proxy_at(server.port(), "u", "p"));
        }
        const auto body = downloader.get_as_buffer(upd::url_t(with_port(c.url, server.port())));
        EXPECT_EQ(std::string(body.begin(), body.end()), server.body());
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), c.requests.size());
        std::size_t request_bytes = 0;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i], with_port(c.requests[i], server.port())) << "request " << i;
            request_bytes += requests[i].size();
        }
        EXPECT_EQ(server.server_names(), c.server_names);
        EXPECT_EQ(counts.sent(), request_bytes);
    }
}

TEST_F(fault_test, digest_answer_to_connect_uses_host_and_port_as_uri) {
    const tvk_test::certificate_t certificate = tvk_test::make_self_signed_certificate(dir.path());
    fault_server_t server({behaviour_t::challenge_digest, behaviour_t::tunnel}, "digest body",
                          certificate.certificate, certificate.key);
    upd::downloader_t downloader(io_service, box.progress);
    downloader.set_timeout(std::chrono::seconds(10));
    downloader.set_proxy(proxy_at(server.port(), "u", "p"));
    const auto body = downloader.get_as_buffer(upd::url_t("https://update.test/v.lst"));
    EXPECT_EQ(std::string(body.begin(), body.end()), "digest body");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].find("Proxy-Authorization"), std::string::npos);
    const std::string prefix = "Proxy-Authorization: Digest username=\"u\", realm=\"tavik\", nonce=\"5b1c\", "
                               "uri=\"update.test:443\", cnonce=\"";
    EXPECT_NE(requests[1].find(prefix), std::string::npos) << requests[1];
    EXPECT_NE(requests[2].find(prefix), std::string::npos) << requests[2];
}

TEST_F(fault_test, byte_counts_match_the_bytes_on_the_wire) {
    fault_server_t server({behaviour_t::ok}, std::string(10000, 'z'));
    upd::downloader_t downloader(io_service, box.progress);
    downloader.set_timeout(std::chrono::seconds(10));
    downloader.get_as_buffer(upd::url_t(local_url(server.port(), "f")));
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(box.sent(), server.requests()[0].size());
    EXPECT_EQ(box.received(), head.size() + 10000);
}

}  // namespace
