// URLs split, printed back, parsed again, and joined with a file.
#include "net/url.hpp"

#include <gtest/gtest.h>

namespace {

std::string fields(const upd::url_t& u) {
    return u.scheme() + "|" + u.host() + "|" + std::to_string(u.port()) + "|" + u.path() + "|" + u.to_string();
}

TEST(url, split_printed_and_joined) {
    const std::pair<std::string, std::string> rows[] = {
        {"http://upd.example.net/a/b.lst", "http|upd.example.net|0|a/b.lst|http://upd.example.net/a/b.lst"},
        {"HTTPS://h:8080/x", "HTTPS|h|8080|x|HTTPS://h:8080/x"},
        {"proxy:3128", "|proxy|3128||proxy:3128"},
        {"http://h/", "http|h|0||http://h"},
        {"http://h:abc/f", "http|h|0|f|http://h/f"},
        {"http://h:70000/f", "http|h|4464|f|http://h:4464/f"},
        {"http://h:4294967297/f", "http|h|1|f|http://h:1/f"},
        {"http://h: +83abc/f", "http|h|83|f|http://h:83/f"},
        {"http://u:pw@h/f", "http|u|0|f|http://u/f"},
        {"http://h/q.lst?a=1#x", "http|h|0|q.lst?a=1#x|http://h/q.lst?a=1#x"},
        {"", "||0||"},
        {"/a/path", "||0|a/path|/a/path"},
        {"http://", "http||0||http://"},
        {"://h/f", "|h|0|f|h/f"},
        {"a://b://c/d", "a|b|0|/c/d|a://b//c/d"},
        {"h:81:82/f", "|h|81|f|h:81/f"},
    };
    for (const auto& [text, expected] : rows) {
        upd::url_t url("HTTPS://old-host:4443/old/path");
        url.parse(text);
        EXPECT_EQ(fields(url), expected) << text;
        EXPECT_EQ(fields(upd::url_t(url.to_string())), expected) << "printed form parses back: " << text;
    }
    for (const char* base : {"http://h/bases", "http://h/bases/"})
        EXPECT_EQ(upd::url_t(base, "v.lst").to_string(), "http://h/bases/v.lst");
    EXPECT_EQ(upd::url_t("", "f").to_string(), "");
}

}  // namespace
