// The work folder's records of stamps and busy servers.
#include "files/servers_file.hpp"
#include "files/stamp_signers_file.hpp"
#include "files/stamps_file.hpp"
#include "tests/support/support.hpp"

namespace {

TEST(record_file, stamps_and_busy_servers) {
    using upd::servers_file_t;
    using upd::stamps_file_t;
    const auto stamps = [](const std::string& t) {
        return stamps_file_t::format(stamps_file_t::parse(t.data(), t.data() + t.size()));
    };
    const auto signers = [](const std::string& t) {
        return upd::stamp_signers_file_t::format(upd::stamp_signers_file_t::parse(t.data(), t.data() + t.size()));
    };
    const auto servers = [](const std::string& t) {
        return servers_file_t::format(servers_file_t::parse(t.data(), t.data() + t.size()), 1000);
    };
    const std::tuple<std::function<std::string(const std::string&)>, std::string, std::string> rows[] = {
        {stamps, "BASE 0042\n\nNRD_2 1", "BASE 0042\nNRD_2 1\n"},
        {stamps, "", ""},
        {stamps, "BA-SE 1\n", "line 1"},
        {stamps, "BASE 1\nBASE 2\n", "line 2"},
        {stamps, "BASE\n", "line 1"},
        {stamps, "BASE 12x\n", "line 1"},
        {stamps, " 1\n", "line 1"},
        // A malformed record of signers loses that record only.
        {signers, "BASE 0123456789abcdef,c59aabed9143d796\nNRD 0123\nBASE 0123456789abcdef\nNRD c59aabed9143d796\n",
         "BASE 0123456789abcdef,c59aabed9143d796\nNRD c59aabed9143d796\n"},
        {servers, "2000 http://a/ b\n999 http://gone/\n1000 http://ended/\n",
         "2000 http://a/ b\n"},  // only waits not over
        {servers, "2000 http://a/\n3000 http://a/\n", "line 2"},
        {servers, "20x http://a/\n", "line 1"},
        {servers, "2000\n", "line 1"},
        {servers, "1 http://a/\n2 http://b/\x07\n", "line 2"},
        {servers, "1234567890123 http://a/\n", "line 1"}};
    for (const auto& [read, text, expected] : rows) {
        std::string outcome;
        try {
            outcome = read(text);
        } catch (const std::runtime_error& e) {
            outcome = std::string(e.what()).substr(0, 6);
        }
        EXPECT_EQ(outcome, expected) << text;
    }
    ts::scratch_t dir;
    auto log = ts::capture_log_t::install(cf_log_t::warning);
    ts::spit(dir / "servers", std::string(servers_file_t::max_size + 1, '\n'));
    EXPECT_TRUE(servers_file_t::load(dir / "servers", 0).empty() && servers_file_t::load(dir / "none", 0).empty());
    ts::spit(dir / "waits", "22600 http://near/\n22601 http://planted/\n");  // at most 6 hours after 1000
    EXPECT_EQ(servers_file_t::load(dir / "waits", 1000), (servers_file_t::waits_t{{"http://near/", 22600}}));
    EXPECT_EQ(log->text(), "Warning: Servers \"" + (dir / "servers").string() +
                               "\": file too big; no server is left alone for an earlier request in this run\n");
    reset_log_for_tests();
}

}  // namespace
