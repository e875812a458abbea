// Server lists: lines, the signed range, the size cap; a fixture and its forgery.
#include "files/drl_file.hpp"
#include "framework/cf_proto_exception.hpp"
#include "tests/support/support.hpp"

namespace {

// The URLs, or the error; "%s" in the tail is the covered text's signature.
std::string outcome(const std::string& covered, const std::string& tail) {
    const std::string data = ts::signed_text(covered, tail);
    upd::drl_file_t drl;
    try {
        drl.parse(data.data(), data.data() + data.size(), upd::origin_t::installed);
    } catch (const cf_proto_exception_t& e) {
        return e.code() == tvk::EC_BAD_DRL_FILE ? e.what() : "wrong code";
    }
    std::string urls;
    for (const auto& u : drl.urls()) urls += "[" + u + "]";
    return urls;
}

TEST(drl_file, lines_range_and_size_cap) {
    const std::string format = "Invalid DRL-file format", signature = "Invalid DRL-file signature";
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"url=http://b/\nurl=http://a/\nurl=http://b/\n", "sign=%s\n", "[http://b/][http://a/]"},
        {"\r\nurl= \thttp://a/ b\t\rurl=http://a/ b\n\n", "sign=\t%s \r\n\n", "[http://a/ b]"},
        {"url=http://a/\n", "sign=%s\nurl=http://evil/\n", "[http://a/]"},
        {"url=http://a/\n", "sign=00\nurl=http://evil/\nsign=%s", "[http://a/]"},
        {"url=http://a/\nsign=\nurl=http://b/\n", "sign=%s\n", "[http://a/][http://b/]"},
        {"url=http://a/", "\nsign=%s\n", signature},
        {"URL=http://a/\n", "sign=%s\n", format},
    };
    for (const auto& [covered, tail, expected] : rows) EXPECT_EQ(outcome(covered, tail), expected) << covered << tail;
    ts::scratch_t dir;
    std::string text = "url=http://a/\nsign=" + ts::sign("url=http://a/\n") + "\n";
    text += std::string(upd::drl_file_t::max_size - text.size(), '\n');
    ts::spit(dir / "at-limit.drl", text);
    ts::spit(dir / "over.drl", text + "\n");
    const int fd = ts::lowest_free_fd();
    upd::drl_file_t drl;
    const auto load = [&](const ts::fs::path& p) { drl.load(p, upd::origin_t::installed); };
    load(dir / "at-limit.drl");
    EXPECT_EQ(drl.urls(), std::vector<std::string>{"http://a/"});
    EXPECT_THROW(load(dir / "over.drl"), std::runtime_error);
    EXPECT_THROW(load(dir / "missing.drl"), ts::fs::filesystem_error);
    load(TAVIK_TEST_DATA "/files/update-crlf.drl");
    EXPECT_EQ(drl.urls().size(), 2u);
    EXPECT_THROW(load(TAVIK_TEST_DATA "/files/update-crlf.drl.forged"), cf_proto_exception_t);
    EXPECT_EQ(ts::lowest_free_fd(), fd);
    std::string many;  // the servers are tried in an order that varies
    for (char c = 'a'; c <= 'h'; ++c) many += std::string("url=http://") + c + "/\n";
    many += "sign=" + ts::sign(many);
    drl.parse(many.data(), many.data() + many.size(), upd::origin_t::installed);
    std::set<std::vector<std::string>> orders;
    for (int i = 0; i < 20; ++i) orders.insert(drl.shuffled_urls());
    EXPECT_GT(orders.size(), 1u);
    EXPECT_EQ(std::set<std::string>(orders.begin()->begin(), orders.begin()->end()),
              std::set<std::string>(drl.urls().begin(), drl.urls().end()));
}

}  // namespace
