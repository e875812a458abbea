// The downloader against nginx and squid on every route, and against a server that misbehaves on
// purpose: codes and texts, exact request bytes, byte counts, limits and the files left behind.
#include "engine/progress_counter.hpp"
#include "net/downloader.hpp"
#include "support/servers.hpp"

namespace {

using fault_t = ts::fault_server_t::fault_t;

struct net_test : ::testing::Test {
    void SetUp() override { log = ts::capture_log_t::install(); }
    void TearDown() override {
        if (HasFailure()) std::cerr << log->text();
        reset_log_for_tests();
    }
    std::unique_ptr<upd::downloader_t> downloader(int timeout_ms = 10000, std::uint16_t proxy = 0) {
        auto d = std::make_unique<upd::downloader_t>(io, counter);
        d->set_timeout(std::chrono::milliseconds(timeout_ms));
        tvk::Proxy p;
        p.set_type(tvk::Proxy::PROXY_TYPE_HTTP), p.set_host("127.0.0.1"), p.set_port(proxy), p.set_user("u"),
            p.set_password("p");
        if (proxy) d->set_proxy(p);
        return d;
    }
    std::string outcome(const std::function<std::vector<char>()>& call) {  // "ok <body>", or how it failed
        std::vector<char> body;
        const std::string end = ts::outcome([&] { body = call(); });
        return end != "ok" ? end : end + " " + std::string(body.begin(), body.end());
    }
    std::pair<std::uint32_t, std::uint32_t> counts() {
        return progress.flush_stat(), std::make_pair(progress.total_sent(), progress.total_received());
    }

    std::shared_ptr<ts::capture_log_t> log;
    boost::asio::io_service io;
    ts::null_watcher_t watcher;
    upd::progress_t progress{io, &watcher};
    upd::progress_counter_t counter{progress};
    ts::scratch_t dir;
};

TEST_F(net_test, nginx_delivers_the_same_bytes_over_http_and_https_and_every_byte_is_counted) {
    ts::nginx_t nginx;  // the proxy routes run end to end
    std::string mebibyte(1 << 20, '\0');
    for (std::size_t i = 0; i < mebibyte.size(); ++i) mebibyte[i] = static_cast<char>(i * 7919 >> 3);
    ts::spit(nginx.root() / "big.bin", mebibyte);
    const std::string urls[] = {nginx.http_url("big.bin"), nginx.https_url("big.bin"),
                                nginx.https_url("big.bin").replace(8, 9, "localhost")};
    for (std::size_t i = 0; i < 3; ++i) {
        auto d = downloader();
        const auto before = counts();
        d->get_to_file(upd::url_t(urls[i]), dir / "big.bin");
        EXPECT_TRUE(ts::slurp(dir / "big.bin") == mebibyte) << urls[i];
        const auto seen = nginx.access_log(2 * i + 1).at(2 * i);
        const auto after = counts();
        EXPECT_EQ(seen.server_name, i == 2 ? "localhost" : "-") << "the name is sent where there is one";
        EXPECT_TRUE(i > 0 || (after.first - before.first == seen.request_length &&
                              after.second - before.second == seen.bytes_sent));
        EXPECT_EQ(outcome([&] { return d->get_as_buffer(upd::url_t(urls[i] + "x")); }), "23 No such file or directory");
    }
    EXPECT_TRUE(log->has("Debug: HTTP status 200 OK") && log->has("Debug: HTTP status 404 Not Found"));
}

TEST_F(net_test, through_a_tunnel_the_proxys_credentials_reach_the_proxy_alone) {
    ts::nginx_t nginx;
    ts::squid_t squid(ts::squid_t::auth_t::basic, "u", "p");
    ts::spit(nginx.root() / "f", "far");
    auto d = downloader();
    d->set_proxy(squid.proxy("u", "p"));
    for (const char* challenge : {"challenge-basic", "challenge-digest"})  // one more status of the server
        EXPECT_EQ(outcome([&] { return d->get_as_buffer(upd::url_t(nginx.https_url(challenge))); }),
                  "125 HTTP status 407");
    EXPECT_EQ(outcome([&] { return d->get_as_buffer(upd::url_t(nginx.https_url("f"))); }), "ok far");
    for (const auto& seen : nginx.access_log(3)) EXPECT_EQ(seen.proxy_authorization, "-") << seen.request;
    d.reset();  // squid writes a tunnel's line when it closes
    const auto tunnels = squid.access_log(2);
    ASSERT_EQ(tunnels.size(), 2u) << "one tunnel for the three requests, after one challenge";
    EXPECT_EQ(tunnels.back().user, "u");
}

TEST_F(net_test, misbehaving_servers_end_with_their_code_text_and_requests) {
    const std::string
        get = "GET http://127.0.0.1:{port}/f HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nAccept: */*\r\nX-Extra: 1\r\n",
        connect = "CONNECT update.test:8443 HTTP/1.1\r\nHost: update.test:8443\r\n",
        basic = "Proxy-Authorization: Basic dTpw\r\n";
    const std::string refused = "29 Proxy refused the tunnel: 403 Forbidden: https://update.test:8443/f";
    const std::string proxied_get =
        "GET http://update.test/f HTTP/1.1\r\nHost: update.test\r\nAccept: */*\r\nX-Extra: 1\r\n";
    const struct {
        std::vector<fault_t> script;
        bool proxied;
        std::string url, expected, line;
        std::vector<std::string> heads;  // the exact request heads
    } rows[] = {
        {{fault_t::none}, false, "", "ok fault server body\n", "Debug: HTTP status 200 OK", {get + "\r\n"}},
        {{fault_t::byte_by_byte}, false, "", "ok fault server body\n", "", {get + "\r\n"}},
        {{fault_t::close_mid_body},
         false,
         "",
         "29 Receive: cut after 9 of 18 bytes: 127.0.0.1:{port} [127.0.0.1]",
         "",
         {get + "\r\n"}},
        {{fault_t::close_in_head},
         false,
         "",
         "94 No update servers available",
         "Debug: Receive: End of file: 127.0.0.1:{port} [127.0.0.1]",
         {get + "\r\n"}},
        {{fault_t::reset_in_head},
         false,
         "",
         "94 No update servers available",
         "Debug: Receive: Connection reset by peer: ",
         {get + "\r\n"}},
        {{fault_t::never_answer},
         false,
         "",
         "94 No update servers available",
         "Debug: IO: Network operation timed out: 127.0.0.1:{port}",
         {get + "\r\n"}},
        {{fault_t::redirect},
         false,
         "",
         "125 HTTP status 301",
         "Debug: HTTP status 301 Moved Permanently",
         {get + "\r\n"}},
        {{fault_t::server_error},
         false,
         "",
         "125 HTTP status 500",
         "Debug: HTTP status 500 Internal Server Error",
         {get + "\r\n"}},
        {{fault_t::challenge_basic}, false, "", "93 Proxy authentication error", "", {get + "\r\n"}},
        {{fault_t::endless_body},
         false,
         "",
         "36 Body exceeds the limit of 33554432 bytes: http://127.0.0.1:{port}/f",
         "",
         {get + "\r\n"}},
        {{fault_t::challenge_basic, fault_t::none},
         true,
         "http://update.test/f",
         "ok fault server body\n",
         "",
         {proxied_get + "\r\n", proxied_get + basic + "\r\n"}},
        {{fault_t::challenge_basic},
         true,
         "http://update.test/f",
         "93 Proxy authentication error",
         "",
         {proxied_get + "\r\n", proxied_get + basic + "\r\n"}},
        {{fault_t::challenge_auth_int},
         true,
         "http://update.test/f",
         "93 Digest authentication with qop=\"auth,auth-int\" is not supported: Proxy authentication error",
         "Error: Digest authentication with qop=\"auth,auth-int\" is not supported",
         {proxied_get + "\r\n"}},
        // A refused tunnel is no handshake, and the server's failure: the proxy's address stays.
        {{fault_t::challenge_digest, fault_t::tunnel_refused},
         true,
         "https://update.test:8443/f",
         refused,
         "",
         {connect + "\r\n", connect + "Proxy-Authorization: Digest username=\"u\", realm=\"tavik\", nonce=\"5b1c\", "
                                      "uri=\"update.test:8443\", cnonce=\""}},
        {{fault_t::challenge_basic, fault_t::tunnel_refused},
         true,
         "https://update.test:8443/f",
         refused,
         "",
         {connect + "\r\n", connect + basic + "\r\n"}},
    };
    for (const auto& r : rows) {
        ts::fault_server_t server(r.script);
        const auto port = [&](const std::string& text) {
            return ts::replace_all(text, "{port}", std::to_string(server.port()));
        };
        auto d = downloader(500, r.proxied ? server.port() : 0);
        d->add_header("X-Extra", "1");
        const auto before = counts();
        EXPECT_EQ(outcome([&] { return d->get_as_buffer(upd::url_t(r.url.empty() ? server.url("f") : r.url)); }),
                  port(r.expected));
        EXPECT_TRUE(r.line.empty() || log->has_prefix(port(r.line))) << port(r.line);
        const auto heads = server.requests();
        ASSERT_EQ(heads.size(), r.heads.size()) << r.expected;
        std::uint32_t sent = 0;
        for (std::size_t i = 0; i < heads.size(); ++i) {
            EXPECT_EQ(heads[i].substr(0, port(r.heads[i]).size()), port(r.heads[i]));
            sent += heads[i].size();
        }
        EXPECT_EQ(counts().first - before.first, sent) << "every byte sent is counted";
        log->lines.clear();
    }
}

TEST_F(net_test, a_connection_is_kept_while_the_server_keeps_it_and_only_then) {
    ts::nginx_t nginx("keepalive_requests 3; keepalive_timeout 1s;");
    for (const char* dir : {"", "chunked/", "unframed/"})
        for (char n = '1'; n <= '4'; ++n)
            ts::spit(nginx.root() / dir / (std::string("f") + n), std::string(3000 * (n - '0'), n));
    ts::fault_server_t http10({fault_t::http_1_0}, std::string(3000, '1')),
        racing({fault_t::unannounced_close}, std::string(3000, '1'));
    const struct {
        const char* name;
        std::string url;  // of the files, less their number
        std::string files;
        int pause_ms;  // before the second request
        std::size_t connections;
        bool again;  // a request went once more over a new connection
    } rows[] = {
        {"keeps alive", nginx.http_url("f"), "12", 0, 1, false},
        {"closes after 3 requests", nginx.http_url("f"), "1234", 0, 2, false},
        {"closes idle connections", nginx.http_url("f"), "12", 1500, 2, true},
        {"chunked", nginx.http_url("chunked/f"), "12", 0, 1, false},
        {"sends no length", nginx.http_url("unframed/f"), "12", 0, 2, false},
        {"TLS, its session offered again", nginx.https_url("f"), "1234", 0, 2, false},
        {"answers HTTP/1.0", http10.url("f"), "11", 0, 2, false},
        {"closes right after an answer", racing.url("f"), "11", 0, 2, true},
    };
    std::size_t seen = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto d = downloader();
        const std::size_t before = http10.connections() + racing.connections();
        for (char n : r.files) {
            if (n == r.files[1]) std::this_thread::sleep_for(std::chrono::milliseconds(r.pause_ms));
            EXPECT_EQ(outcome([&] { return d->get_as_buffer(upd::url_t(r.url + n)); }),
                      "ok " + std::string(3000 * (n - '0'), n));
        }
        const std::size_t faulty =
            http10.connections() + racing.connections() - before;  // the fault servers' connections
        std::set<std::string> connections;
        const auto lines = nginx.access_log(seen + (faulty ? 0 : r.files.size()));
        for (std::size_t i = seen; i < lines.size(); ++i) connections.insert(lines[i].connection);
        seen = lines.size();
        EXPECT_EQ(connections.size() + faulty, r.connections);
        EXPECT_EQ(log->has_prefix("Debug: Kept connection: "), r.again);
        EXPECT_TRUE(std::string(r.name).find("TLS") != 0 || lines.back().session_reused == "r");
        if (HasFailure()) std::cerr << log->text();
        log->lines.clear();
    }
}

TEST_F(net_test, through_a_proxy_its_connection_and_a_tunnel_are_kept_and_the_digest_counts_its_requests) {
    ts::nginx_t nginx;
    ts::squid_t squid(ts::squid_t::auth_t::digest, "u", "p");  // a nonce goes stale after 3 requests
    for (char n = '1'; n <= '5'; ++n) ts::spit(nginx.root() / (std::string("f") + n), std::string(1000, n));
    auto d = downloader();
    d->set_proxy(squid.proxy("u", "p"));
    for (const auto& url : {nginx.http_url("f"), nginx.https_url("f")})
        for (char n = '1'; n <= '5'; ++n)
            EXPECT_EQ(outcome([&] { return d->get_as_buffer(upd::url_t(url + n)); }), "ok " + std::string(1000, n));
    d.reset();  // squid writes a tunnel's line when it closes
    std::string seen;
    std::set<std::string> ports;  // of the connections the requests came over
    for (const auto& a : squid.access_log(8))
        seen += a.method + " " + std::to_string(a.status) + " " + a.user + ", ", ports.insert(a.client_port);
    EXPECT_EQ(seen, "GET 407 -, GET 200 u, GET 200 u, GET 200 u, GET 200 u, GET 407 u, GET 200 u, CONNECT 200 u, ")
        << "a challenge, counted requests on its nonce until it went stale, one tunnel for all five";
    EXPECT_EQ(ports.size(), 2u) << "one connection for the plain requests, one for the tunnel";
}

TEST_F(net_test, addresses_are_used_up_in_order_and_a_file_that_cannot_be_opened_costs_no_connection) {
    ts::fault_server_t server({fault_t::none}, std::string(1000, 'b'));
    const upd::url_t url(server.url("f"));
    auto d = downloader();
    EXPECT_EQ(outcome([&] { return d->get_to_file(url, dir / "no" / "f"), std::vector<char>(); }),
              "23 open: No such file or directory: \"" + (dir / "no" / "f").string() + "\"");
    EXPECT_EQ(server.connections(), 0u) << "no connection for a file that cannot be opened";

    ts::fault_server_t big({fault_t::none}, std::string(upd::max_in_memory, 'b'));
    const std::vector<char> body =
        downloader()->get_as_buffer(upd::url_t(big.url("f")));  // size and capacity: the limit, not twice it
    EXPECT_EQ(std::make_pair(body.size(), body.capacity()), std::make_pair(upd::max_in_memory, upd::max_in_memory));

    // Two addresses for one name: the first refuses, the second answers.
    const auto loopback = boost::asio::ip::address_v4::loopback();
    d->connection().endpoint_queue().assign("127.0.0.1", std::to_string(server.port()),
                                            {{loopback, ts::free_port()}, {loopback, server.port()}});
    d->get_to_file(url, dir / "second");
    EXPECT_EQ(ts::slurp(dir / "second").size(), 1000u);
    EXPECT_TRUE(log->has_prefix("Debug: Connect: Connection refused: "));
    // Used up: the next URL of the same server fails at once, without resolving again.
    ts::fault_server_t closing({fault_t::close_in_head});
    auto e = downloader();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(outcome([&] { return e->get_as_buffer(upd::url_t(closing.url("f"))); }),
                  "94 No update servers available");
    EXPECT_EQ(closing.connections(), 1u);
}

}  // namespace
