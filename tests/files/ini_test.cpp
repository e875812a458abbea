// Zone files: sections, keys, comments, the signature part, error positions.
#include "files/ini.hpp"
#include "tests/support/support.hpp"

namespace {

// The URLs as "[a,b]", or "TEXT @offset:line:column"; "%s" in the tail is the signature.
std::string urls_or_error(const std::string& signed_part, const std::string& tail) {
    const std::string data = ts::signed_text(signed_part, tail);
    try {
        std::string out;
        for (const auto& url : upd::ini::parse(data.data(), data.data() + data.size(), upd::origin_t::installed))
            out += (out.empty() ? "[" : ",") + url;
        return out + "]";
    } catch (const upd::ini::parse_error_t& e) {
        return std::string(e.what()) + " @" + std::to_string(e.offset()) + ":" + std::to_string(e.line()) + ":" +
               std::to_string(e.column());
    }
}

TEST(ini, sections_keys_and_size_cap) {
    const std::string sig = "\r\n[Signature]\r\nSignature=%s\r\n", unsigned_file = "Invalid signature @0:1:1";
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"[fallback]\r\nurl=http://a/\r\nurl=http://b/#x\r\nurl=http://a/;y", sig, "[http://a/,http://b/,http://a/]"},
        {"url=x\n[ FallBack ]\n\tURL = a ; c\n[main]\nurl=x\n[fallback]\nurl=b?x=1\nurl=",
         "\r\n[SIGNATURE]\r\nSIGNATURE=%s\r\n", "[a,b?x=1,]"},
        {"[fallback]\nurl=a", "\r\n[signature] ; t\r\n\r\n  signature = 00\r\nsignature=%s ; hex\r\n", "[a]"},
        {"[fallback]\r\nurl=a\r\n[signature]\r\nsignature=00", sig + "[fallback]\r\nurl=evil\r\n", "[a]"},
        {"[fallback]\nurl=a", "\n[Signature]\r\nSignature=%s\r\n", unsigned_file},
        {"[fallback]\nurl=a", "\r\n[signature]\r\n[other]\r\nsignature=%s\r\n", unsigned_file},
        {"[fallback] x\nurl=a", sig, "Invalid section name @0:1:1"},
        {"\n  []\nurl=a", sig, "Invalid section name @3:2:3"},
        {"[fallback]\n\t = a", sig, "Empty key @13:2:3"},
        {"[fallback]\r\nurl=a\r\n  url", sig, "Syntax error @21:3:3"},
        {"[fallback]\nurl=a", "\r\n[signature]\r\nbogus\r\nsignature=%s\r\n", "Syntax error @15:3:1"},
    };
    for (const auto& [part, tail, expected] : rows) EXPECT_EQ(urls_or_error(part, tail), expected) << part << tail;
    const auto get = [](const ts::fs::path& p) { return upd::ini::get_file(p, upd::origin_t::installed); };
    EXPECT_EQ(get(TAVIK_TEST_DATA "/files/zone.ini").size(), 2u);
    EXPECT_THROW(get(TAVIK_TEST_DATA "/files/zone.ini.forged"), upd::ini::parse_error_t);
    ts::scratch_t dir;
    std::string big = "[fallback]\nurl=a" + std::string(upd::ini::max_size - 300, '\n');
    big += "\r\n[Signature]\r\nSignature=" + ts::sign(big) + "\r\n";
    ts::spit(dir / "at-limit.ini", big + std::string(upd::ini::max_size - big.size(), ' '));
    ts::spit(dir / "over.ini", big + std::string(upd::ini::max_size - big.size() + 1, ' '));
    const int fd = ts::lowest_free_fd();
    EXPECT_EQ(get(dir / "at-limit.ini"), std::vector<std::string>{"a"});
    EXPECT_THROW(get(dir / "over.ini"), ts::fs::filesystem_error);
    EXPECT_THROW(get(dir / "missing.ini"), ts::fs::filesystem_error);
    EXPECT_THROW(get("/dev/zero"), ts::fs::filesystem_error) << "read without end, were it opened as a file";
    EXPECT_EQ(ts::lowest_free_fd(), fd);
}

}  // namespace
