// The order of a zone's servers, and the status when none serves.
#include "engine/mirrors.hpp"
#include "framework/error_code.hpp"
#include "tests/support/support.hpp"

namespace {

using upd::http_status_error_t;
using upd::server_failure_t;

// Serve ('+'), fail ('x': 500), throttle ('t': 503 for an hour), refuse the proxy's credentials ('p'),
// offer an older list ('o'), or fail as this machine would ('!': a full disk).
void answer(char how) {
    switch (how) {
        case 'x': throw http_status_error_t(tvk::EC_UNEXPECTED_ERROR, "HTTP status 500", 500, -1);
        case 't': throw http_status_error_t(tvk::EC_UNEXPECTED_ERROR, "HTTP status 503", 503, 3600);
        case 'p': throw server_failure_t(tvk::EC_PROXY_AUTH_ERROR, "Proxy authentication error", "status 407");
        case 'o': throw upd::passed_over_t("offers an older file list (1 < 2)");
        case '!': throw boost::system::system_error(tvk::make_error_code(tvk::EC_IO_ERROR));
    }
}

TEST(mirrors, the_order_of_servers) {
    const struct {
        const char* name;
        std::vector<std::string> drawn;
        std::map<std::string, long long> waits;  // seconds from now
        std::vector<std::string> rounds;         // per round, each server's answers in turn ("a+": a serves)
        std::string asked, status;               // the servers asked (rounds split by '|'); the end
        const char* warning;
    } rows[] = {
        {"as drawn until one serves", {"c", "a", "b"}, {}, {"cx a+"}, "ca", "ok", "Warning: Zone Z: c/f: status 500"},
        {"the list's first, a failed one last", {"a", "b", "c"}, {}, {"ax b+", "bx cx ax"}, "ab|bca", "94", nullptr},
        {"an older list has no status",
         {"a"},
         {},
         {"ao"},
         "a",
         "94 No update servers available",
         "Warning: Zone Z: a offers an older file list (1 < 2)"},
        {"the proxy refuses all", {"a", "b"}, {}, {"ap bp"}, "ab", "93 Proxy authentication error", nullptr},
        {"a machine's failure", {"a", "b"}, {}, {"a!"}, "a", "22 IO error", nullptr},
        {"a busy server is left alone",
         {"a", "b"},
         {},
         {"at b+", "b+", "bx"},
         "ab|b|b",
         "125 HTTP status 500",
         "Warning: Zone Z: a/f: status 503, busy until "},
        {"left alone: passed by",
         {"a", "b", "c"},
         {{"a", 600}, {"c", 60}},
         {"b+", "bx"},
         "b|b",
         "125 HTTP status 500",
         nullptr},
        {"all left alone: the first free",
         {"a", "b"},
         {{"a", 600}, {"b", 60}},
         {"bx"},
         "b",
         "125 HTTP status 500",
         nullptr},
        {"an ended wait", {"a", "b"}, {{"a", -60}}, {"a+"}, "a", "ok", nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto log = ts::capture_log_t::install();
        auto waits = std::make_shared<upd::mirrors_t::waits_t>();
        for (const auto& w : r.waits) waits->until[w.first] = std::time(nullptr) + w.second;
        upd::mirrors_t mirrors("Z", r.drawn, waits, false);
        std::string asked, status;
        for (std::size_t round = 0; round < r.rounds.size(); ++round) {
            const std::string& plan = r.rounds[round];  // an unplanned server shows in `asked`
            asked += round ? "|" : "";
            status = ts::outcome([&] {
                mirrors.ask([&](const std::string& server, std::string& url) {
                    asked += server, url = server + "/f";
                    answer(plan[plan.find(server) + 1]);
                    if (!round) mirrors.took_list(server);
                });
            });
        }
        EXPECT_EQ(asked, r.asked);
        EXPECT_EQ(status.compare(0, r.status.size(), r.status), 0) << status;
        EXPECT_TRUE(!r.warning || log->has_prefix(r.warning)) << log->text();
        EXPECT_EQ(waits->changed, r.rounds[0].find('t') != std::string::npos) << "a Retry-After is kept for later runs";
    }
    reset_log_for_tests();
}

}  // namespace
