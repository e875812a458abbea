// File lists: layout, signed range, line forms, name queries, patterns and excludes.
#include "files/lst_file.hpp"

#include "framework/cf_log.hpp"
#include "framework/cf_proto_exception.hpp"
#include "support/signing.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Neither the C library of Linux nor that of FreeBSD reports a broken pattern for any input,
// so this test program stands in front of fnmatch and fails every pattern that begins with
// "bad-", as a library that validates patterns would.
extern "C" int fnmatch(const char* pattern, const char* name, int flags) {
    using fnmatch_fn = int (*)(const char*, const char*, int);
    static const fnmatch_fn real = reinterpret_cast<fnmatch_fn>(::dlsym(RTLD_NEXT, "fnmatch"));
    if (std::strncmp(pattern, "bad-", 4) == 0) return -1;
    return real(pattern, name, flags);
}

namespace fs = boost::filesystem;

namespace {

using test_support::read_file;
using test_support::signature_of;

// In the tail, "%s" stands for the signature of the covered text.
std::string signed_lst(const std::string& covered, std::string tail) {
    const std::size_t at = tail.find("%s");
    if (at != std::string::npos) tail.replace(at, 2, signature_of(covered));
    return covered + tail;
}

std::string hex(const std::string& bytes) {
    std::string out;
    char buf[3];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

// The parsed object as text: "name=digest/size ..." in map order, then "| pattern ...".
std::string describe(const upd::lst_file_t& lst) {
    std::string out;
    for (const auto& f : lst.files()) {
        out += f.first + "=" + hex(f.second.digest) + "/" + std::to_string(f.second.size) + " ";
    }
    out += "|";
    for (const auto& p : lst.patterns()) out += " " + p;
    return out;
}

std::string outcome(upd::lst_file_t& lst, const std::string& data) {
    try {
        lst.parse(data.data(), data.data() + data.size());
    } catch (const cf_proto_exception_t& e) {
        EXPECT_EQ(tvk::EC_BAD_LST_FILE, e.code()) << e.what();
        return std::string("error: ") + e.what();
    }
    return describe(lst);
}

#define HEAD "[TavikUpdateList]\n[20240301]\n"
#define TRAILER "[TavikUpdateListEnd]\n"
#define SIG "\n[Signature]\nSignature=%s\n"
#define HEAD_CRLF "[TavikUpdateList]\r\n[20240301]\r\n"
#define TRAILER_CRLF "[TavikUpdateListEnd]\r\n"
#define SIG_CRLF "\r\n[Signature]\r\nSignature=%s\r\n"

const std::string structure_error = "error: Invalid LST-file structure";
const std::string signature_error = "error: Invalid LST-file signature";
std::string line_error(const std::string& line) { return "error: Invalid LST-file line: \"" + line + "\""; }

const std::string sha256_hex = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct parse_case_t {
    const char* name;
    std::string covered;   // the bytes the signature is made over
    std::string tail;      // the rest; "%s" stands for that signature
    std::string expected;  // describe() of the result, or the error
};

const std::vector<parse_case_t> parse_cases = {
    {"lf_line_ends", HEAD "+a.dll, 0A1b, 12\n-*.tmp,\n" TRAILER, SIG, "a.dll=0a1b/12 | *.tmp"},
    {"crlf_line_ends", HEAD_CRLF "+a.dll, 0A1b, 12\r\n-*.tmp,\r\n" TRAILER_CRLF, SIG_CRLF, "a.dll=0a1b/12 | *.tmp"},
    {"cr_line_ends", "[TavikUpdateList]\r[1]\r+a.dll, 0A1b, 12\r[TavikUpdateListEnd]\r",
     "\r[Signature]\rSignature=%s\r", "a.dll=0a1b/12 |"},
    {"form_feed_line_ends", "[TavikUpdateList]\f[1]\f+a, 01, 1\f+b, 02, 2\f[TavikUpdateListEnd]\f",
     "\f[Signature]\fSignature=%s", "a=01/1 b=02/2 |"},
    {"mixed_line_ends", "[TavikUpdateList]\r\n[1]\n+a, 01, 1\r+b, 02, 2\r\n-c*,\f[TavikUpdateListEnd]\n",
     "\r\n[Signature]\rSignature=%s\n", "a=01/1 b=02/2 | c*"},
    {"optional_tag", HEAD "+<7>a.dll, 0A1b, 12\n" TRAILER, SIG, "a.dll=0a1b/12 |"},
    {"sha256_digest", HEAD "+base.vdb, " + sha256_hex + ", 4096\n" TRAILER, SIG, "base.vdb=" + sha256_hex + "/4096 |"},
    {"odd_digest_gives_empty_digest", HEAD "+a, 123, 5\n" TRAILER, SIG, "a=/5 |"},
    {"last_line_for_a_name_wins", HEAD "+a, 01, 1\n+b, 0b, 3\n+a, 02, 2\n" TRAILER, SIG, "a=02/2 b=0b/3 |"},
    {"names_in_byte_order", HEAD "+b, 01, 1\n+B, 02, 2\n+a, 03, 3\n+_, 04, 4\n" TRAILER, SIG,
     "B=02/2 _=04/4 a=03/3 b=01/1 |"},
    {"only_pattern_lines", HEAD "-*.tmp,\n-x?.bin, anything at all ,\n-*.tmp,\n" TRAILER, SIG, "| *.tmp x?.bin *.tmp"},
    {"largest_size", HEAD "+a, 00, 4294967295\n" TRAILER, SIG, "a=00/4294967295 |"},
    {"size_with_leading_zeros", HEAD "+a, 00, 0007\n" TRAILER, SIG, "a=00/7 |"},
    {"three_dots_is_a_name", HEAD "+..., 00, 1\n+.a, 00, 2\n" TRAILER, SIG, "...=00/1 .a=00/2 |"},
    {"last_body_line_without_line_end", HEAD "+a, 01, 1" TRAILER, SIG, "a=01/1 |"},
    {"whitespace_after_signature", HEAD "+a, 01, 1\n" TRAILER, "\n[Signature]\nSignature=%s  \t\n\n\r\n\v\f\n", "a=01/1 |"},
    {"signature_without_line_end", HEAD "+a, 01, 1\n" TRAILER, "\n[Signature]\nSignature=%s", "a=01/1 |"},
    {"signature_with_extra_digits", HEAD "+a, 01, 1\n" TRAILER, "\n[Signature]\nSignature=%s0000\n", "a=01/1 |"},

    {"empty_input", "", "", structure_error},
    {"missing_blank_line", HEAD "+a, 01, 1\n" TRAILER, "[Signature]\nSignature=%s\n", structure_error},
    {"missing_blank_line_crlf", HEAD_CRLF "+a, 01, 1\r\n" TRAILER_CRLF, "[Signature]\r\nSignature=%s\r\n", structure_error},
    {"two_blank_lines", HEAD "+a, 01, 1\n" TRAILER, "\n\n[Signature]\nSignature=%s\n", structure_error},
    {"empty_body", HEAD TRAILER, SIG, structure_error},
    {"empty_body_crlf", HEAD_CRLF TRAILER_CRLF, SIG_CRLF, structure_error},
    {"signature_without_digits", HEAD "+a, 01, 1\n" TRAILER, "\n[Signature]\nSignature=\n", structure_error},
    {"text_after_signature", HEAD "+a, 01, 1\n" TRAILER, "\n[Signature]\nSignature=%s x\n", structure_error},
    {"line_after_signature", HEAD "+a, 01, 1\n" TRAILER, SIG "[Other]\n", structure_error},
    {"space_before_header", " " HEAD "+a, 01, 1\n" TRAILER, SIG, structure_error},
    {"header_in_lower_case", "[tavikupdatelist]\n[1]\n+a, 01, 1\n" TRAILER, SIG, structure_error},
    {"stamp_without_digits", "[TavikUpdateList]\n[]\n+a, 01, 1\n" TRAILER, SIG, structure_error},
    {"stamp_with_letter", "[TavikUpdateList]\n[12a]\n+a, 01, 1\n" TRAILER, SIG, structure_error},
    {"no_trailer", HEAD "+a, 01, 1\n", SIG, structure_error},
    {"spaced_signature_key", HEAD "+a, 01, 1\n" TRAILER, "\n[Signature]\nSignature = %s\n", structure_error},

    {"signature_of_other_data", HEAD "+a, 01, 1\n" TRAILER,
     "\n[Signature]\nSignature=" + std::string(80, '1') + "\n", signature_error},
    {"odd_number_of_digits", HEAD "+a, 01, 1\n" TRAILER, "\n[Signature]\nSignature=%s0\n", signature_error},
    {"trailer_line_end_not_signed", HEAD "+a, 01, 1\n[TavikUpdateListEnd]", "\n\n[Signature]\nSignature=%s\n",
     signature_error},
    {"separator_signed_too", HEAD "+a, 01, 1\n" TRAILER "\n", "[Signature]\nSignature=%s\n", signature_error},
    {"signature_checked_before_lines", HEAD "bad line\n" TRAILER,
     "\n[Signature]\nSignature=" + std::string(80, '1') + "\n", signature_error},

    {"blank_line_in_body", HEAD "+a, 01, 1\n\n+b, 01, 1\n" TRAILER, SIG, line_error("")},
    {"blank_line_in_body_crlf", HEAD_CRLF "+a, 01, 1\r\n\r\n+b, 01, 1\r\n" TRAILER_CRLF, SIG_CRLF, line_error("")},
    {"two_spaces_after_comma", HEAD "+a, 01,  1\n" TRAILER, SIG, line_error("+a, 01,  1")},
    {"trailing_space", HEAD "+a, 01, 1 \n" TRAILER, SIG, line_error("+a, 01, 1 ")},
    {"leading_space", HEAD " +a, 01, 1\n" TRAILER, SIG, line_error(" +a, 01, 1")},
    {"slash_in_name", HEAD "+sub/a, 01, 1\n" TRAILER, SIG, line_error("+sub/a, 01, 1")},
    {"plus_in_name", HEAD "+a+b, 01, 1\n" TRAILER, SIG, line_error("+a+b, 01, 1")},
    {"dot_name_is_the_zone_directory", HEAD "+., 01, 1\n" TRAILER, SIG, line_error("+., 01, 1")},
    {"dot_dot_name_is_the_parent", HEAD "+.., 01, 1\n" TRAILER, SIG, line_error("+.., 01, 1")},
    {"tag_without_digits", HEAD "+<>a, 01, 1\n" TRAILER, SIG, line_error("+<>a, 01, 1")},
    {"tag_with_letter", HEAD "+<7a>a, 01, 1\n" TRAILER, SIG, line_error("+<7a>a, 01, 1")},
    {"digest_not_hex", HEAD "+a, 0g, 1\n" TRAILER, SIG, line_error("+a, 0g, 1")},
    {"missing_size", HEAD "+a, 01, \n" TRAILER, SIG, line_error("+a, 01, ")},
    {"size_with_unit", HEAD "+a, 01, 1k\n" TRAILER, SIG, line_error("+a, 01, 1k")},
    {"pattern_without_comma", HEAD "-*.tmp\n" TRAILER, SIG, line_error("-*.tmp")},
    {"pattern_with_slash", HEAD "-old/*,\n" TRAILER, SIG, line_error("-old/*,")},
    {"empty_pattern", HEAD "-,\n" TRAILER, SIG, line_error("-,")},
    {"comment_line", HEAD "# files\n" TRAILER, SIG, line_error("# files")},
    {"trailer_text_inside_body", HEAD "+a, 01, 1\n" TRAILER "\n[Signature]\nSignature=00\n" TRAILER, SIG,
     line_error("[TavikUpdateListEnd]")},
};

void PrintTo(const parse_case_t& c, std::ostream* os) { *os << c.name; }

class lst_parse_test : public ::testing::TestWithParam<parse_case_t> {};

TEST_P(lst_parse_test, entries_or_error) {
    const parse_case_t& c = GetParam();
    upd::lst_file_t lst;
    EXPECT_EQ(c.expected, outcome(lst, signed_lst(c.covered, c.tail)));
}

INSTANTIATE_TEST_SUITE_P(layout_and_lines, lst_parse_test, ::testing::ValuesIn(parse_cases),
                         [](const ::testing::TestParamInfo<parse_case_t>& i) { return i.param.name; });

TEST(lst_file, every_covered_byte_is_signed) {
    const std::string covered = HEAD_CRLF "+a.dll, 0a1b, 12\r\n-*.tmp,\r\n" TRAILER_CRLF;
    const std::string good = signed_lst(covered, SIG_CRLF);
    upd::lst_file_t lst;
    ASSERT_EQ("a.dll=0a1b/12 | *.tmp", outcome(lst, good));
    for (std::size_t i = 0; i < covered.size(); ++i) {
        std::string forged = good;
        forged[i] = std::isdigit(static_cast<unsigned char>(forged[i])) ? (forged[i] == '1' ? '2' : '1') : 'x';
        upd::lst_file_t other;
        EXPECT_EQ(0u, outcome(other, forged).rfind("error: ", 0)) << "byte " << i;
    }
}

TEST(lst_file, size_above_32_bits_is_a_conversion_error) {
    upd::lst_file_t lst;
    const std::string data = signed_lst(HEAD "+b, 02, 2\n+a, 01, 4294967296\n+b, 03, 4294967296\n" TRAILER, SIG);
    EXPECT_THROW(lst.parse(data.data(), data.data() + data.size()), boost::bad_lexical_cast);
    EXPECT_EQ("b=02/2 |", describe(lst));
}

TEST(lst_file, parse_clears_earlier_contents) {
    upd::lst_file_t lst;
    ASSERT_EQ("a=01/1 | *.a", outcome(lst, signed_lst(HEAD "+a, 01, 1\n-*.a,\n" TRAILER, SIG)));
    ASSERT_EQ("b=02/2 | *.b", outcome(lst, signed_lst(HEAD "+b, 02, 2\n-*.b,\n" TRAILER, SIG)));
    ASSERT_EQ(structure_error, outcome(lst, "junk"));
    EXPECT_EQ("|", describe(lst));
}

TEST(lst_file, lines_before_a_bad_line_stay) {
    upd::lst_file_t lst;
    ASSERT_EQ(line_error("+.., 01, 1"),
              outcome(lst, signed_lst(HEAD "+a, 01, 1\n-*.a,\n+.., 01, 1\n+b, 02, 2\n" TRAILER, SIG)));
    EXPECT_EQ("a=01/1 | *.a", describe(lst));
}

// Bytes after the signature are not signed: anybody on the way may add them.
TEST(lst_file, megabytes_of_whitespace_after_signature_are_no_stack_attack) {
    const std::string data = signed_lst(HEAD "+a, 01, 1\n" TRAILER, SIG) + std::string(8 << 20, ' ');
    upd::lst_file_t lst;
    EXPECT_EQ("a=01/1 |", outcome(lst, data));
}

TEST(lst_file, megabyte_long_name_and_digest) {
    const std::string name(1 << 20, 'n');
    const std::string digest(1 << 20, 'f');
    upd::lst_file_t lst;
    const std::string data = signed_lst(HEAD "+" + name + ", " + digest + ", 1\n" TRAILER, SIG);
    lst.parse(data.data(), data.data() + data.size());
    EXPECT_EQ(std::string(1 << 19, '\xff'), lst.digest_of(name));
}

class lst_query_test : public ::testing::Test {
protected:
    void SetUp() override {
        saved_level_ = cf_log_t::level_;
        cf_log_t::level_ = cf_log_t::debug;
        set_log(log_);
        const std::string data = signed_lst(
            HEAD "+b.dll, 02, 2\n+A.dll, 01, 1\n+a.tmp, 03, 3\n+x.tmp, 04, 4\n-*.old,\n-bad-*,\n-*.bak,\n" TRAILER,
            SIG);
        lst_.parse(data.data(), data.data() + data.size());
        log_->lines.clear();
    }
    void TearDown() override {
        reset_log_for_tests();
        cf_log_t::level_ = saved_level_;
    }

    std::shared_ptr<test_support::text_log_t> log_ = std::make_shared<test_support::text_log_t>(" ");
    upd::lst_file_t lst_;
    int saved_level_ = 0;
};

TEST_F(lst_query_test, names_in_map_order) {
    EXPECT_EQ((std::vector<std::string>{"A.dll", "a.tmp", "b.dll", "x.tmp"}), lst_.names());
}

TEST_F(lst_query_test, listed_and_unlisted_names) {
    EXPECT_TRUE(lst_.contains("A.dll"));
    EXPECT_FALSE(lst_.contains("a.dll"));
    EXPECT_EQ(std::string("\x02", 1), lst_.digest_of("b.dll"));
    EXPECT_EQ(2u, lst_.size_of("b.dll"));
    EXPECT_EQ("", lst_.digest_of("missing"));
    EXPECT_EQ(0u, lst_.size_of("missing"));
}

TEST_F(lst_query_test, names_matching) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"*.tmp", {"a.tmp", "x.tmp"}},
        {"?.dll", {"A.dll", "b.dll"}},
        {"*.DLL", {}},
        {"*", {"A.dll", "a.tmp", "b.dll", "x.tmp"}},
        {"[ab]*", {"a.tmp", "b.dll"}},
        {"\\a.tmp", {}},  // the backslash is a plain character, not an escape
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, lst_.names_matching(c.first)) << c.first;
}

TEST_F(lst_query_test, matches_patterns_in_order_and_skips_broken_ones) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"z.old", true}, {"z.bak", true}, {"z.dll", false}, {"old", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, lst_.matches_patterns(c.first)) << c.first;
    // "z.old" stops at the first pattern; the other three names reach the broken one.
    EXPECT_EQ(std::vector<std::string>(3, "Debug fnmatch: Invalid pattern in lst: \"bad-*\""), log_->lines);
}

TEST_F(lst_query_test, excludes_remove_and_log_each_name) {
    lst_.apply_excludes({"*.tmp"});
    EXPECT_EQ((std::vector<std::string>{"A.dll", "b.dll"}), lst_.names());
    EXPECT_EQ((std::vector<std::string>{"Debug Excluded: a.tmp", "Debug Excluded: x.tmp"}), log_->lines);
    EXPECT_EQ((std::vector<std::string>{"*.old", "bad-*", "*.bak"}), lst_.patterns());
}

TEST_F(lst_query_test, excludes_log_broken_patterns_and_go_on) {
    lst_.apply_excludes({"bad-x", "*.dll", "A*", "\\x.tmp"});
    EXPECT_EQ((std::vector<std::string>{"a.tmp", "x.tmp"}), lst_.names());
    const std::string broken = "Debug fnmatch: Invalid pattern in excludes: \"bad-x\"";
    EXPECT_EQ((std::vector<std::string>{broken, broken, broken, broken, "Debug Excluded: A.dll",
                                        "Debug Excluded: b.dll"}),
              log_->lines);
}

TEST_F(lst_query_test, excludes_without_debug_level_log_nothing) {
    cf_log_t::level_ = cf_log_t::info;
    lst_.apply_excludes({"bad-x", "*.tmp"});
    EXPECT_EQ((std::vector<std::string>{"A.dll", "b.dll"}), lst_.names());
    EXPECT_TRUE(log_->lines.empty());
}

// The signing tool keeps the list byte for byte and adds the signature part in its line end style.
TEST(lst_fixture, signed_files_are_the_source_and_the_signature_part) {
    const fs::path dir = fs::path(TAVIK_TEST_DATA) / "files";
    const std::string source = read_file(dir / "version.lst.unsigned");
    ASSERT_FALSE(source.empty());
    std::string crlf_source;
    for (char c : source) crlf_source += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"version.lst", "\n"}, {"version-crlf.lst", "\r\n"}};
    for (const auto& c : cases) {
        const std::string& eol = c.second;
        const std::string& covered = eol == "\n" ? source : crlf_source;
        const std::string head = covered + eol + "[Signature]" + eol + "Signature=";
        const std::string data = read_file(dir / c.first);
        ASSERT_EQ(head.size() + 80 + eol.size(), data.size()) << c.first;
        EXPECT_EQ(head, data.substr(0, head.size())) << c.first;
        const std::string signature = data.substr(head.size(), 80);
        EXPECT_EQ(std::string::npos, signature.find_first_not_of("0123456789abcdef")) << c.first;
        EXPECT_EQ(eol, data.substr(data.size() - eol.size())) << c.first;
    }
}

class lst_fixture_test : public ::testing::TestWithParam<const char*> {};

TEST_P(lst_fixture_test, signed_file_parses_and_forged_copy_fails) {
    const fs::path dir = fs::path(TAVIK_TEST_DATA) / "files";
    const std::string good = read_file(dir / GetParam());
    const std::string forged = read_file(dir / (std::string(GetParam()) + ".forged"));
    ASSERT_EQ(good.size(), forged.size());
    upd::lst_file_t lst;
    EXPECT_EQ("base.vdb=" + sha256_hex + "/4096 engine.so=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff/123456 | *.vdb *.tmp",
              outcome(lst, good));
    upd::lst_file_t bad;
    EXPECT_EQ(signature_error, outcome(bad, forged));
}

INSTANTIATE_TEST_SUITE_P(committed, lst_fixture_test, ::testing::Values("version.lst", "version-crlf.lst"),
                         [](const ::testing::TestParamInfo<const char*>& i) {
                             std::string n = i.param;
                             std::replace_if(n.begin(), n.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return n;
                         });

}  // namespace
