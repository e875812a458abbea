// The downloader against nginx, squid and a misbehaving server: outcomes, requests, counts, connections.
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
};

TEST_F(net_test, misbehaving_servers) {
    const std::string
        get = "GET http://127.0.0.1:{port}/f HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nAccept: */*\r\nX-Extra: 1\r\n\r\n",
        proxied = "GET http://update.test/f HTTP/1.1\r\nHost: update.test\r\nAccept: */*\r\nX-Extra: 1\r\n",
        connect = "CONNECT update.test:8443 HTTP/1.1\r\nHost: update.test:8443\r\n",
        basic = "Proxy-Authorization: Basic dTpw\r\n";
    const struct {
        std::vector<fault_t> script;
        std::string url, expected, line;  // through the fault server as a proxy when there is a URL
        std::vector<std::string> heads;   // the exact request heads (beginnings of them)
    } rows[] = {
        {{fault_t::none}, "", "ok fault server body\n", "Debug: HTTP status 200 OK", {get}},
        {{fault_t::close_mid_body}, "", "29 Receive: cut after 9 of 18 bytes: 127.0.0.1:{port} [127.0.0.1]", "", {get}},
        {{fault_t::close_in_head},
         "",
         "94 No update servers available",
         "Debug: Receive: End of file: 127.0.0.1:{port} [127.0.0.1]",
         {get}},
        {{fault_t::never_answer},
         "",
         "94 No update servers available",
         "Debug: IO: Network operation timed out: 127.0.0.1:{port}",
         {get}},
        {{fault_t::challenge_basic}, "", "93 Proxy authentication error", "", {get}},
        {{fault_t::endless_body},
         "",
         "36 Body exceeds the limit of 33554432 bytes: http://127.0.0.1:{port}/f",
         "",
         {get}},
        {{fault_t::challenge_basic, fault_t::none},
         "http://update.test/f",
         "ok fault server body\n",
         "",
         {proxied + "\r\n", proxied + basic + "\r\n"}},
        {{fault_t::challenge_basic},
         "http://update.test/f",
         "93 Proxy authentication error",
         "",
         {proxied + "\r\n", proxied + basic + "\r\n"}},
        // A refused tunnel is no handshake, and the server's failure: the proxy's address stays.
        {{fault_t::challenge_digest, fault_t::tunnel_refused},
         "https://update.test:8443/f",
         "29 Proxy refused the tunnel: 403 Forbidden: https://update.test:8443/f",
         "",
         {connect + "\r\n", connect + "Proxy-Authorization: Digest username=\"u\", realm=\"tavik\", nonce=\"5b1c\", "
                                      "uri=\"update.test:8443\", cnonce=\""}},
    };
    for (const auto& r : rows) {
        ts::fault_server_t server(r.script);
        const auto port = [&](const std::string& text) {
            return ts::replace_all(text, "{port}", std::to_string(server.port()));
        };
        auto d = downloader(500, r.url.empty() ? 0 : server.port());
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

TEST_F(net_test, kept_while_the_server_keeps_it) {
    ts::nginx_t nginx("keepalive_requests 3;");
    for (const char* dir : {"", "chunked/", "unframed/"})
        for (char n = '1'; n <= '4'; ++n)
            ts::spit(nginx.root() / dir / (std::string("f") + n), std::string(3000 * (n - '0'), n));
    ts::fault_server_t http10({fault_t::http_1_0}, std::string(3000, '1')),
        racing({fault_t::unannounced_close}, std::string(3000, '1'));
    const struct {
        const char* name;
        std::string url;  // of the files, less their number
        std::string files;
        std::size_t connections;
        bool again;  // a request went once more over a new connection
    } rows[] = {
        {"keeps alive", nginx.http_url("f"), "12", 1, false},
        {"closes after 3 requests", nginx.http_url("f"), "1234", 2, false},
        {"chunked", nginx.http_url("chunked/f"), "12", 1, false},
        {"sends no length", nginx.http_url("unframed/f"), "12", 2, false},
        {"TLS, its session offered again", nginx.https_url("f").replace(8, 9, "localhost"), "1234", 2, false},
        {"answers HTTP/1.0", http10.url("f"), "11", 2, false},
        {"closes right after an answer", racing.url("f"), "11", 2, true},
    };
    std::size_t seen = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto d = downloader();
        const std::size_t before = http10.connections() + racing.connections();
        const auto counted = counts();
        for (char n : r.files) {
            EXPECT_EQ(outcome([&] { return d->get_as_buffer(upd::url_t(r.url + n)); }),
                      "ok " + std::string(3000 * (n - '0'), n));
        }
        const std::size_t faulty =
            http10.connections() + racing.connections() - before;  // the fault servers' connections
        std::set<std::string> connections;
        const auto lines = nginx.access_log(seen + (faulty ? 0 : r.files.size()));
        std::uint32_t sent = 0, received = 0;
        for (std::size_t i = seen; i < lines.size(); ++i)
            connections.insert(lines[i].connection), sent += lines[i].request_length, received += lines[i].bytes_sent;
        seen = lines.size();
        EXPECT_EQ(connections.size() + faulty, r.connections);
        EXPECT_EQ(log->has_prefix("Debug: Kept connection: "), r.again);
        const bool tls = r.url.rfind("https", 0) == 0;
        EXPECT_TRUE(!tls || (lines.back().session_reused == "r" && lines.back().server_name == "localhost"));
        EXPECT_TRUE(tls || faulty || counts() == std::make_pair(counted.first + sent, counted.second + received))
            << "every byte is counted";
        if (HasFailure()) std::cerr << log->text();
        log->lines.clear();
    }
}

TEST_F(net_test, kept_and_digest_counted_through_a_proxy) {
    ts::nginx_t nginx;
    ts::squid_t squid(ts::squid_t::auth_t::digest);  // a nonce goes stale after 3 requests
    for (char n = '1'; n <= '5'; ++n) ts::spit(nginx.root() / (std::string("f") + n), std::string(1000, n));
    auto d = downloader();
    d->set_proxy(squid.proxy());
    for (const auto& url : {nginx.http_url("f"), nginx.https_url("f")})
        for (char n = '1'; n <= '5'; ++n)
            EXPECT_EQ(outcome([&] { return d->get_as_buffer(upd::url_t(url + n)); }), "ok " + std::string(1000, n));
    EXPECT_EQ(outcome([&] { return d->get_as_buffer(upd::url_t(nginx.https_url("challenge-basic"))); }),
              "125 HTTP status 407")
        << "through a tunnel, the server's own status";
    for (const auto& seen : nginx.access_log(11))  // nor is an address sent as the server's name
        EXPECT_EQ(seen.proxy_authorization + " " + seen.server_name, "- -") << seen.request;
    d.reset();  // squid writes a tunnel's line when it closes
    std::string seen;
    std::set<std::string> ports;  // of the connections the requests came over
    for (const auto& a : squid.access_log(8))
        seen += a.method + " " + std::to_string(a.status) + " " + a.user + ", ", ports.insert(a.client_port);
    EXPECT_EQ(seen, "GET 407 -, GET 200 u, GET 200 u, GET 200 u, GET 200 u, GET 407 u, GET 200 u, CONNECT 200 u, ")
        << "a challenge, its nonce until stale, one tunnel";
    EXPECT_EQ(ports.size(), 2u) << "one for plain requests, one for the tunnel";
}

}  // namespace
