// URL splitting, printing and joining of the network client.
#include "net/url.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct split_case_t {
    const char* name;
    const char* text;
    const char* scheme;
    const char* host;
    unsigned port;
    const char* path;
    const char* printed;
};

const split_case_t split_cases[] = {
    {"plain_http_url", "http://upd.example.net/a/b.lst", "http", "upd.example.net", 0, "a/b.lst",
     "http://upd.example.net/a/b.lst"},
    {"capital_scheme_kept", "HTTPS://upd.example.net/x", "HTTPS", "upd.example.net", 0, "x",
     "HTTPS://upd.example.net/x"},
    {"host_and_port_only", "proxy.example.net:3128", "", "proxy.example.net", 3128, "",
     "proxy.example.net:3128"},
    {"trailing_slash_dropped", "http://upd.example.net/", "http", "upd.example.net", 0, "",
     "http://upd.example.net"},
    {"explicit_port", "http://upd.example.net:8080/f", "http", "upd.example.net", 8080, "f",
     "http://upd.example.net:8080/f"},
    {"port_of_letters_is_zero", "http://upd.example.net:abc/f", "http", "upd.example.net", 0, "f",
     "http://upd.example.net/f"},
    {"explicit_port_zero_dropped", "http://upd.example.net:0/f", "http", "upd.example.net", 0, "f",
     "http://upd.example.net/f"},
    {"empty_port_text", "http://upd.example.net:/f", "http", "upd.example.net", 0, "f",
     "http://upd.example.net/f"},
    {"port_above_16_bits_truncated", "http://h:70000/f", "http", "h", 70000 % 65536, "f",
     "http://h:4464/f"},
    {"port_65536_wraps_to_zero", "http://h:65536/f", "http", "h", 0, "f", "http://h/f"},
    {"port_overflowing_long_saturates", "http://h:99999999999999999999999/f", "http", "h", 65535,
     "f", "http://h:65535/f"},
    {"negative_port_keeps_low_bits", "http://h:-1/f", "http", "h", 65535, "f", "http://h:65535/f"},
    {"port_with_plus_sign", "http://h:+82/f", "http", "h", 82, "f", "http://h:82/f"},
    {"port_with_leading_blank", "http://h: 81/f", "http", "h", 81, "f", "http://h:81/f"},
    {"port_reading_stops_at_non_digit", "http://h:83abc/f", "http", "h", 83, "f", "http://h:83/f"},
    {"user_info_not_recognised", "http://user:secret@h/f", "http", "user", 0, "f",
     "http://user/f"},
    {"query_and_fragment_stay_in_path", "http://h/p/q.lst?a=1&b=2#frag", "http", "h", 0,
     "p/q.lst?a=1&b=2#frag", "http://h/p/q.lst?a=1&b=2#frag"},
    {"empty_text", "", "", "", 0, "", ""},
    {"host_only", "h", "", "h", 0, "", "h"},
    {"path_only", "/just/a/path", "", "", 0, "just/a/path", "/just/a/path"},
    {"scheme_only", "http://", "http", "", 0, "", "http://"},
    {"empty_scheme_before_separator", "://h/f", "", "h", 0, "f", "h/f"},
    {"second_separator_belongs_to_rest", "a://b://c/d", "a", "b", 0, "/c/d", "a://b//c/d"},
    {"double_slash_kept_in_path", "http://h//f", "http", "h", 0, "/f", "http://h//f"},
    {"colon_in_path_is_not_a_port", "http://h/a:80", "http", "h", 0, "a:80", "http://h/a:80"},
    {"only_first_colon_splits_authority", "h:81:82/f", "", "h", 81, "f", "h:81/f"},
    {"port_without_host", ":80", "", "", 80, "", ":80"},
    {"bracketed_ipv6_not_recognised", "http://[::1]:80/f", "http", "[", 0, "f", "http://[/f"},
};

void PrintTo(const split_case_t& c, std::ostream* os) { *os << c.name; }

class url_split_test : public ::testing::TestWithParam<split_case_t> {};

TEST_P(url_split_test, fields_and_printed_form) {
    const split_case_t& c = GetParam();
    const upd::url_t url(c.text);
    EXPECT_EQ(url.scheme(), c.scheme);
    EXPECT_EQ(url.host(), c.host);
    EXPECT_EQ(url.port(), c.port);
    EXPECT_EQ(url.path(), c.path);
    EXPECT_EQ(url.to_string(), c.printed);
}

// Parsing what was printed gives back the same four fields.
TEST_P(url_split_test, printed_form_parses_back_to_the_same_fields) {
    const upd::url_t url(GetParam().text);
    const upd::url_t again(url.to_string());
    EXPECT_EQ(again.scheme(), url.scheme());
    EXPECT_EQ(again.host(), url.host());
    EXPECT_EQ(again.port(), url.port());
    EXPECT_EQ(again.path(), url.path());
    EXPECT_EQ(again.to_string(), url.to_string());
}

// parse() on a used object must not keep anything of the previous URL.
TEST_P(url_split_test, reparse_clears_previous_fields) {
    const split_case_t& c = GetParam();
    upd::url_t url("HTTPS://old-host.example:4443/old/path?x");
    url.parse(c.text);
    EXPECT_EQ(url.scheme(), c.scheme);
    EXPECT_EQ(url.host(), c.host);
    EXPECT_EQ(url.port(), c.port);
    EXPECT_EQ(url.path(), c.path);
}

INSTANTIATE_TEST_SUITE_P(cases, url_split_test, ::testing::ValuesIn(split_cases),
                         [](const ::testing::TestParamInfo<split_case_t>& info) {
                             return std::string(info.param.name);
                         });

TEST(url_test, default_url_is_empty) {
    const upd::url_t url;
    EXPECT_EQ(url.scheme(), "");
    EXPECT_EQ(url.host(), "");
    EXPECT_EQ(url.port(), 0);
    EXPECT_EQ(url.path(), "");
    EXPECT_EQ(url.to_string(), "");
}

struct join_case_t {
    const char* name;
    const char* base;
    const char* file;
    const char* host;
    const char* path;
    const char* printed;
};

const join_case_t join_cases[] = {
    {"base_without_slash", "http://upd.example.net/bases", "version.lst", "upd.example.net",
     "bases/version.lst", "http://upd.example.net/bases/version.lst"},
    {"base_with_slash", "http://upd.example.net/bases/", "version.lst", "upd.example.net",
     "bases/version.lst", "http://upd.example.net/bases/version.lst"},
    {"empty_base_ignores_file", "", "version.lst", "", "", ""},
    {"empty_base_and_file", "", "", "", "", ""},
    {"file_with_leading_slash_keeps_double_slash", "http://h", "/f.lst", "h", "/f.lst",
     "http://h//f.lst"},
    {"file_with_subdirectory", "http://h:8080/u", "bases/av/x.dat.lzma", "h",
     "u/bases/av/x.dat.lzma", "http://h:8080/u/bases/av/x.dat.lzma"},
    {"empty_file_leaves_trailing_slash_in_path", "http://h/dir", "", "h", "dir/",
     "http://h/dir/"},
    {"base_is_host_only", "http://h", "f", "h", "f", "http://h/f"},
    {"file_is_taken_verbatim", "http://h", "a b?c#d", "h", "a b?c#d", "http://h/a b?c#d"},
};

void PrintTo(const join_case_t& c, std::ostream* os) { *os << c.name; }

class url_join_test : public ::testing::TestWithParam<join_case_t> {};

TEST_P(url_join_test, joins_base_and_file) {
    const join_case_t& c = GetParam();
    const upd::url_t url(c.base, c.file);
    EXPECT_EQ(url.host(), c.host);
    EXPECT_EQ(url.path(), c.path);
    EXPECT_EQ(url.to_string(), c.printed);
}

INSTANTIATE_TEST_SUITE_P(cases, url_join_test, ::testing::ValuesIn(join_cases),
                         [](const ::testing::TestParamInfo<join_case_t>& info) {
                             return std::string(info.param.name);
                         });

TEST(url_test, join_with_and_without_trailing_slash_agree) {
    const upd::url_t a(std::string("https://h:4443/zone"), "version.lst.lzma");
    const upd::url_t b(std::string("https://h:4443/zone/"), "version.lst.lzma");
    EXPECT_EQ(a.scheme(), b.scheme());
    EXPECT_EQ(a.host(), b.host());
    EXPECT_EQ(a.port(), b.port());
    EXPECT_EQ(a.path(), b.path());
    EXPECT_EQ(a.port(), 4443);
}

}  // namespace
