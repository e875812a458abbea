// Server lists: line forms, line ends, the signed range, size limits and descriptor hygiene.
#include "files/drl_file.hpp"

#include "framework/cf_proto_exception.hpp"
#include "support/signing.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

using test_support::read_file;
using test_support::signature_of;

void replace_all(std::string& text, const std::string& what, const std::string& with) {
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size()) {
        text.replace(at, what.size(), with);
    }
}

// In the tail, "%s" stands for the signature of the covered text and "%o" for a valid
// signature of other data.
std::string signed_drl(const std::string& covered, std::string tail) {
    if (tail.find("%s") != std::string::npos) replace_all(tail, "%s", signature_of(covered));
    if (tail.find("%o") != std::string::npos) replace_all(tail, "%o", signature_of("url=http://b/\n"));
    return covered + tail;
}

// What parse() did: the URLs, or the text of the exception.
std::string outcome(upd::drl_file_t& drl, const std::string& data) {
    try {
        drl.parse(data.data(), data.data() + data.size());
    } catch (const cf_proto_exception_t& e) {
        EXPECT_EQ(tvk::EC_BAD_DRL_FILE, e.code()) << e.what();
        return std::string("error: ") + e.what();
    }
    return "ok";
}

// The lowest free descriptor number: unchanged after a load when no descriptor leaked.
const std::string format_error = "error: Invalid DRL-file format";
const std::string signature_error = "error: Invalid DRL-file signature";

struct parse_case_t {
    const char* name;
    std::string covered;  // the bytes the signature is made over
    std::string tail;     // the rest of the file; "%s" stands for that signature
    std::string expected; // "ok" or the error
    std::set<std::string> urls;
};

const std::vector<parse_case_t> parse_cases = {
    {"lf_line_ends", "url=http://a/\nurl=http://b/\n", "sign=%s\n", "ok", {"http://a/", "http://b/"}},
    {"crlf_line_ends", "url=http://a/\r\nurl=http://b/\r\n", "sign=%s\r\n", "ok", {"http://a/", "http://b/"}},
    {"cr_line_ends", "url=http://a/\rurl=http://b/\r", "sign=%s\r", "ok", {"http://a/", "http://b/"}},
    {"mixed_line_ends", "url=http://a/\r\n\nurl=http://b/\rurl=http://c/\n", "sign=%s", "ok",
     {"http://a/", "http://b/", "http://c/"}},
    {"last_line_without_terminator", "url=http://a/\n", "sign=%s", "ok", {"http://a/"}},
    {"leading_and_inner_empty_lines", "\n\r\nurl=http://a/\n\n\n", "sign=%s\n\n", "ok", {"http://a/"}},
    {"values_trimmed_of_spaces_and_tabs", "url= \t http://a/ \t\n", "sign=\t %s \t\r\n", "ok", {"http://a/"}},
    {"inner_space_kept", "url=http://a/ b\n", "sign=%s\n", "ok", {"http://a/ b"}},
    {"duplicate_url_kept_once", "url=http://a/\nurl=http://a/\nurl= http://a/\n", "sign=%s\n", "ok", {"http://a/"}},
    {"bare_prefix_gives_empty_url", "url=\n", "sign=%s\n", "ok", {""}},
    {"unsigned_url_after_sign_line_not_taken", "url=http://a/\n", "sign=%s\nurl=http://evil/\n", "ok",
     {"http://a/"}},
    {"url_between_two_sign_lines_not_taken", "url=http://a/\n", "sign=00\nurl=http://evil/\nsign=%s\n", "ok",
     {"http://a/"}},
    {"url_after_empty_sign_line_is_signed", "url=http://a/\nsign=\nurl=http://b/\n", "sign=%s\n", "ok",
     {"http://a/", "http://b/"}},
    {"second_sign_line_is_verified", "url=http://a/\n", "sign=00\nsign=%s\n", "ok", {"http://a/"}},
    {"first_of_two_sign_lines_is_replaced", "url=http://a/\n", "sign=%s\nsign=00\n", signature_error, {}},
    {"empty_sign_line_belongs_to_covered_range", "url=http://a/\nsign= \t\n", "sign=%s\n", "ok", {"http://a/"}},
    {"signature_with_extra_hex_digits", "url=http://a/\n", "sign=%s0000\n", "ok", {"http://a/"}},

    {"empty_file", "", "", signature_error, {}},
    {"no_sign_line", "url=http://a/\n", "", signature_error, {}},
    {"only_empty_lines", "\n\r\n\r", "", signature_error, {}},
    {"signature_of_other_data", "url=http://a/\n", "sign=%o\n",
     signature_error, {}},
    {"terminator_of_last_covered_line_not_signed", "url=http://a/", "\nsign=%s\n", signature_error, {}},
    {"sign_line_included_in_signature", "url=http://a/\nsign=", "%s\n", signature_error, {}},
    {"odd_length_signature", "url=http://a/\n", "sign=%s0\n", signature_error, {}},
    {"truncated_signature", "url=http://a/\n", "sign=0123456789\n", signature_error, {}},

    {"upper_case_url_prefix", "URL=http://a/\n", "sign=%s\n", format_error, {}},
    {"upper_case_sign_prefix", "url=http://a/\n", "Sign=%s\n", format_error, {}},
    {"space_before_prefix", " url=http://a/\n", "sign=%s\n", format_error, {}},
    {"tab_only_line", "\t\n", "sign=%s\n", format_error, {}},
    {"comment_line", "# servers\nurl=http://a/\n", "sign=%s\n", format_error, {}},
    {"prefix_without_equals", "url http://a/\n", "sign=%s\n", format_error, {}},
    {"unknown_line_after_sign_line", "url=http://a/\n", "sign=%s\nserver=http://b/\n", format_error, {}},
    {"unknown_line_without_any_signature", "garbage", "", format_error, {}},
};

void PrintTo(const parse_case_t& c, std::ostream* os) { *os << c.name; }

class drl_parse_test : public ::testing::TestWithParam<parse_case_t> {};

TEST_P(drl_parse_test, urls_or_error) {
    const parse_case_t& c = GetParam();
    upd::drl_file_t drl;
    ASSERT_EQ(c.expected, outcome(drl, signed_drl(c.covered, c.tail)));
    if (c.expected == "ok") {
        EXPECT_EQ(c.urls, drl.urls());
    }
}

INSTANTIATE_TEST_SUITE_P(lines, drl_parse_test, ::testing::ValuesIn(parse_cases),
                         [](const ::testing::TestParamInfo<parse_case_t>& i) { return i.param.name; });

TEST(drl_file, every_covered_byte_is_signed) {
    const std::string covered = "url=http://a/\r\n\nurl=http://b/\r";
    const std::string good = signed_drl(covered, "sign=%s\n");
    for (std::size_t i = 0; i < covered.size(); ++i) {
        std::string forged = good;
        forged[i] = forged[i] == 'x' ? 'y' : 'x';
        upd::drl_file_t drl;
        EXPECT_NE("ok", outcome(drl, forged)) << "byte " << i;
    }
}

TEST(drl_file, parse_replaces_earlier_urls) {
    upd::drl_file_t drl;
    ASSERT_EQ("ok", outcome(drl, signed_drl("url=http://a/\n", "sign=%s\n")));
    ASSERT_EQ("ok", outcome(drl, signed_drl("url=http://b/\n", "sign=%s\n")));
    EXPECT_EQ(std::set<std::string>{"http://b/"}, drl.urls());
}

TEST(drl_file, urls_read_before_a_format_error_stay) {
    upd::drl_file_t drl;
    EXPECT_EQ(format_error, outcome(drl, "url=http://a/\nbad\nurl=http://b/\n"));
    EXPECT_EQ(std::set<std::string>{"http://a/"}, drl.urls());
}

TEST(drl_file, prefixes) {
    EXPECT_EQ("url=", upd::drl_file_t::url_line_begin);
    EXPECT_EQ("sign=", upd::drl_file_t::sign_line_begin);
}

TEST(drl_file, shuffled_urls_is_a_permutation_that_varies) {
    std::string covered;
    for (int i = 0; i < 20; ++i) covered += "url=http://s" + std::to_string(i) + "/\n";
    upd::drl_file_t drl;
    ASSERT_EQ("ok", outcome(drl, signed_drl(covered, "sign=%s\n")));
    const std::vector<std::string> in_order(drl.urls().begin(), drl.urls().end());

    bool some_order_differs = false;
    for (unsigned seed = 1; seed <= 5; ++seed) {
        std::srand(seed);
        std::vector<std::string> shuffled = drl.shuffled_urls();
        if (shuffled != in_order) some_order_differs = true;
        std::sort(shuffled.begin(), shuffled.end());
        EXPECT_EQ(in_order, shuffled);
    }
    EXPECT_TRUE(some_order_differs);
}

TEST(drl_file, shuffled_urls_of_empty_and_single_sets) {
    upd::drl_file_t drl;
    EXPECT_TRUE(drl.shuffled_urls().empty());
    ASSERT_EQ("ok", outcome(drl, signed_drl("url=http://a/\n", "sign=%s\n")));
    EXPECT_EQ(std::vector<std::string>{"http://a/"}, drl.shuffled_urls());
}

class drl_load_test : public test_support::scratch_dir_test {
protected:
    drl_load_test() : scratch_dir_test("drl") {}
    // A signed file of exactly `size` bytes: one URL, padding lines, the sign line.
    std::string signed_of_size(std::size_t size) {
        const std::size_t sign_line = 5 + 80 + 1;
        std::string covered = "url=http://a/\n";
        covered.append(size - covered.size() - sign_line, '\n');
        std::string data = signed_drl(covered, "sign=%s\n");
        EXPECT_EQ(size, data.size());
        return data;
    }
};

TEST_F(drl_load_test, file_of_exactly_the_limit_is_read) {
    upd::drl_file_t drl;
    drl.load(write("max.drl", signed_of_size(upd::drl_file_t::max_size)));
    EXPECT_EQ(std::set<std::string>{"http://a/"}, drl.urls());
}

TEST_F(drl_load_test, file_one_byte_over_the_limit_is_refused) {
    upd::drl_file_t drl;
    const fs::path p = write("big.drl", signed_of_size(upd::drl_file_t::max_size + 1));
    try {
        drl.load(p);
        FAIL() << "loaded a file over the limit";
    } catch (const cf_proto_exception_t& e) {
        FAIL() << "the file was parsed: " << e.what();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("file too big", e.what());
    }
    EXPECT_TRUE(drl.urls().empty());
}

TEST_F(drl_load_test, missing_file_fails_to_open) {
    upd::drl_file_t drl;
    try {
        drl.load(dir_ / "missing.drl");
        FAIL() << "loaded a missing file";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(ENOENT, e.code().value());
        EXPECT_NE(std::string::npos, std::string(e.what()).find("open")) << e.what();
        EXPECT_EQ(dir_ / "missing.drl", e.path1());
    }
}

TEST_F(drl_load_test, directory_fails_to_read) {
    write("entry", "x");  // some file systems report an empty directory as 0 bytes
    upd::drl_file_t drl;
    EXPECT_THROW(drl.load(dir_), boost::system::system_error);
}

TEST_F(drl_load_test, empty_file_fails_signature) {
    upd::drl_file_t drl;
    try {
        drl.load(write("empty.drl", ""));
        FAIL() << "accepted an empty file";
    } catch (const cf_proto_exception_t& e) {
        EXPECT_STREQ("Invalid DRL-file signature", e.what());
    }
}

TEST_F(drl_load_test, format_error_closes_the_file) {
    upd::drl_file_t drl;
    EXPECT_THROW(drl.load(write("bad.drl", "bad line\n")), cf_proto_exception_t);
}

bool is_signature_text(const std::string& text) {
    return text.size() == 80 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The signing tool keeps the source byte for byte and adds one sign= line in its line end style.
TEST(drl_fixture, signed_files_are_the_source_and_one_sign_line) {
    const fs::path dir = fs::path(TAVIK_TEST_DATA) / "files";
    std::string source = read_file(dir / "update.drl.unsigned");
    ASSERT_FALSE(source.empty());
    const std::string lf = read_file(dir / "update.drl");
    ASSERT_EQ(source.size() + 5 + 80 + 1, lf.size());
    EXPECT_EQ(source + "sign=", lf.substr(0, source.size() + 5));
    EXPECT_TRUE(is_signature_text(lf.substr(source.size() + 5, 80)));
    EXPECT_EQ('\n', lf.back());

    replace_all(source, "\n", "\r\n");
    const std::string crlf = read_file(dir / "update-crlf.drl");
    ASSERT_EQ(source.size() + 5 + 80 + 2, crlf.size());
    EXPECT_EQ(source + "sign=", crlf.substr(0, source.size() + 5));
    EXPECT_EQ("\r\n", crlf.substr(crlf.size() - 2));
}

struct fixture_case_t {
    const char* file;
    std::set<std::string> urls;
};

void PrintTo(const fixture_case_t& c, std::ostream* os) { *os << c.file; }

class drl_fixture_test : public ::testing::TestWithParam<fixture_case_t> {};

TEST_P(drl_fixture_test, signed_file_loads_and_forged_copy_fails) {
    const fs::path dir = fs::path(TAVIK_TEST_DATA) / "files";
    upd::drl_file_t drl;
    drl.load(dir / GetParam().file);
    EXPECT_EQ(GetParam().urls, drl.urls());

    upd::drl_file_t forged;
    try {
        forged.load(dir / (std::string(GetParam().file) + ".forged"));
        FAIL() << "forged copy accepted";
    } catch (const cf_proto_exception_t& e) {
        EXPECT_STREQ("Invalid DRL-file signature", e.what());
    }
}

INSTANTIATE_TEST_SUITE_P(
    committed, drl_fixture_test,
    ::testing::Values(
        fixture_case_t{"update.drl", {"http://update1.example.com/base", "https://update2.example.com/base"}},
        fixture_case_t{"update-crlf.drl",
                       {"http://update1.example.com/base", "https://update2.example.com/base"}}),
    [](const ::testing::TestParamInfo<fixture_case_t>& i) {
        std::string n = i.param.file;
        std::replace_if(n.begin(), n.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
        return n;
    });

}  // namespace
