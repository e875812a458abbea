// The connection's choices that need no server: modes, default ports, the address queue.
#include "net/http_connection.hpp"

#include "framework/cf_proto_exception.hpp"
#include "framework/error_code.hpp"
#include "integration/support/capture_log.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

namespace {

using endpoint_t = upd::endpoint_queue_t::endpoint_t;

endpoint_t endpoint(const char* address, std::uint16_t port) {
    return endpoint_t(boost::asio::ip::make_address(address), port);
}

class http_connection_test : public ::testing::Test {
protected:
    http_connection_test() : progress(io_service, &watcher), connection(io_service, progress) {}
    void SetUp() override { log = tvk_test::capture_log_t::install(); }
    void TearDown() override { reset_log_for_tests(); }

    std::shared_ptr<tvk_test::capture_log_t> log;
    boost::asio::io_service io_service;
    test_support::null_watcher_t watcher;
    upd::progress_t progress;
    upd::http_connection_t connection;
};

TEST_F(http_connection_test, address_queue_describes_its_query_and_current_address) {
    upd::endpoint_queue_t queue(io_service);
    EXPECT_EQ(queue.describe(), "<empty>");
    queue.assign("update.test", "80", {endpoint("192.0.2.1", 80), endpoint("2001:db8::1", 80)});
    EXPECT_EQ(queue.describe(), "update.test:80 [192.0.2.1]");
    queue.pop();
    EXPECT_EQ(queue.describe(), "update.test:80 [2001:db8::1]");
    queue.pop();
    EXPECT_EQ(queue.describe(), "update.test:80");
    queue.pop();  // popping an empty queue is harmless
    EXPECT_TRUE(queue.empty());
}

TEST_F(http_connection_test, used_up_queue_is_no_update_servers_with_a_debug_line) {
    upd::endpoint_queue_t queue(io_service);
    queue.assign("update.test", "443", {});
    try {
        queue.front();
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), tvk::make_error_code(tvk::EC_NO_UPDATE_SERVERS));
    }
    EXPECT_TRUE(log->contains(cf_log_t::debug, "All resolved endpoints have been used: update.test:443"));
}

TEST_F(http_connection_test, same_query_is_not_resolved_again) {
    upd::endpoint_queue_t queue(io_service);
    // A name that cannot resolve: only the kept result can make this call succeed.
    queue.assign("no-such-host.invalid", "80", {endpoint("192.0.2.7", 80)});
    EXPECT_NO_THROW(queue.resolve("no-such-host.invalid", "80"));
    EXPECT_EQ(queue.size(), 1u);
    queue.pop();
    EXPECT_NO_THROW(queue.resolve("no-such-host.invalid", "80"));
    EXPECT_TRUE(queue.empty());
    // Another service is another query.
    queue.resolve("127.0.0.1", "8080");
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.front(), endpoint("127.0.0.1", 8080));
}

TEST_F(http_connection_test, open_chooses_mode_and_address_from_scheme_and_proxy) {
    struct case_t {
        const char* name;
        const char* url;
        bool proxy;
        std::uint32_t proxy_port;
        upd::http_connection_t::connection_mode_t mode;
        const char* endpoint;
    };
    const case_t cases[] = {
        {"http_default_port", "http://127.0.0.1/a", false, 0, upd::http_connection_t::mode_plain,
         "127.0.0.1:80 [127.0.0.1]"},
        {"https_default_port", "https://127.0.0.1/a", false, 0, upd::http_connection_t::mode_tls,
         "127.0.0.1:443 [127.0.0.1]"},
        {"scheme_in_capitals", "HTTPS://127.0.0.1:8443/a", false, 0, upd::http_connection_t::mode_tls,
         "127.0.0.1:8443 [127.0.0.1]"},
        {"http_through_proxy", "http://update.test/a", true, 3128, upd::http_connection_t::mode_plain_proxy,
         "127.0.0.2:3128 [127.0.0.2]"},
        {"https_through_proxy", "Https://update.test/a", true, 3128, upd::http_connection_t::mode_tls_tunnel,
         "127.0.0.2:3128 [127.0.0.2]"},
        {"proxy_port_keeps_low_16_bits", "http://update.test/a", true, 65536 + 8080,
         upd::http_connection_t::mode_plain_proxy, "127.0.0.2:8080 [127.0.0.2]"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        upd::http_connection_t conn(io_service, progress);
        tvk::Proxy proxy;
        proxy.set_type(c.proxy ? tvk::Proxy::PROXY_TYPE_HTTP : tvk::Proxy::PROXY_TYPE_NONE);
        proxy.set_host("127.0.0.2");
        proxy.set_port(c.proxy_port);
        conn.set_proxy(proxy);
        conn.open(upd::url_t(c.url));
        EXPECT_EQ(conn.connection_mode(), c.mode);
        EXPECT_EQ(conn.describe_endpoint(), c.endpoint);
    }
}

TEST_F(http_connection_test, unsupported_scheme_is_a_bare_unexpected_error) {
    for (const char* url : {"ftp://127.0.0.1/a", "127.0.0.1/a", "httpx://127.0.0.1/a"}) {
        SCOPED_TRACE(url);
        try {
            connection.open(upd::url_t(url));
            ADD_FAILURE() << "no exception";
        } catch (tvk::ErrorCode code) {
            EXPECT_EQ(code, tvk::EC_UNEXPECTED_ERROR);
        }
        EXPECT_TRUE(log->contains(cf_log_t::error, "Unsupported protocol " + upd::url_t(url).scheme()));
    }
    EXPECT_EQ(connection.describe_endpoint(), "<empty>");
}

TEST_F(http_connection_test, execute_without_addresses_fails_before_connecting) {
    connection.open(upd::url_t("http://127.0.0.1:1/a"));
    connection.next_endpoint();
    try {
        connection.execute();
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), tvk::make_error_code(tvk::EC_NO_UPDATE_SERVERS));
    }
    EXPECT_EQ(connection.exchange_state(), upd::http_connection_t::st_done);
    EXPECT_FALSE(log->contains_prefix(cf_log_t::debug, "Connected "));
}

}  // namespace

namespace {

// "a..b" has an empty label: the resolver refuses it without asking any name server.
TEST_F(http_connection_test, unresolvable_names_fail_open_with_a_network_error) {
    struct case_t {
        const char* name;
        bool proxy;
        const char* suffix;
        const char* error_line;
    };
    const case_t cases[] = {
        {"server", false, ": a..b:80", nullptr},
        {"proxy", true, ": a..b:3128", "Cannot resolve proxy address: a..b:3128"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        upd::http_connection_t conn(io_service, progress);
        tvk::Proxy proxy;
        proxy.set_type(c.proxy ? tvk::Proxy::PROXY_TYPE_HTTP : tvk::Proxy::PROXY_TYPE_NONE);
        proxy.set_host("a..b");
        proxy.set_port(3128);
        conn.set_proxy(proxy);
        try {
            conn.open(upd::url_t("http://a..b/file"));
            ADD_FAILURE() << "no exception";
        } catch (const cf_proto_exception_t& e) {
            const std::string text = e.what();
            EXPECT_EQ(e.code(), tvk::EC_NETWORK_ERROR);
            EXPECT_EQ(text.rfind("Cannot resolve: ", 0), 0u) << text;
            EXPECT_EQ(text.substr(text.size() - std::string(c.suffix).size()), c.suffix) << text;
        }
        if (c.error_line) {
            EXPECT_TRUE(log->contains(cf_log_t::error, c.error_line));
        }
        // The failed query is remembered: asking again does not resolve, it finds no address.
        EXPECT_THROW(conn.execute(), boost::system::system_error);
    }
}

}  // namespace
