// Zone INI files: sections, entries, comments, the signature part, positions of errors, limits.
#include "files/ini.hpp"

#include "support/signing.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

using test_support::read_file;
using test_support::signature_of;

// In the tail, "%s" stands for the signature of the signed part.
std::string signed_ini(const std::string& signed_part, std::string tail) {
    const std::size_t at = tail.find("%s");
    if (at != std::string::npos) {
        tail.replace(at, 2, signature_of(signed_part));
    }
    return signed_part + tail;
}

// The URLs as "[a,b]", or "error: TEXT @offset:line:column".
std::string outcome(const std::string& data) {
    try {
        std::string out;
        for (const auto& url : upd::ini::parse(data.data(), data.data() + data.size())) {
            out += out.empty() ? "[" : ",";
            out += url;
        }
        return out.empty() ? "[]" : out + "]";
    } catch (const upd::ini::parse_error_t& e) {
        return std::string("error: ") + e.what() + " @" + std::to_string(e.offset()) + ":" +
               std::to_string(e.line()) + ":" + std::to_string(e.column());
    }
}

#define SIG "\r\n[Signature]\r\nSignature=%s\r\n"
const std::string invalid_signature = "error: Invalid signature @0:1:1";

struct parse_case_t {
    const char* name;
    std::string signed_part;
    std::string tail;  // "%s" stands for the signature of the signed part
    std::string expected;
};

const std::vector<parse_case_t> parse_cases = {
    {"fallback_urls_in_file_order", "[fallback]\r\nurl=http://a/\r\nurl=http://b/\r\nurl=http://a/", SIG,
     "[http://a/,http://b/,http://a/]"},
    {"lf_lines_before_the_signature_part", "[fallback]\nurl=http://a/\nurl=http://b/", SIG, "[http://a/,http://b/]"},
    {"mixed_case_names", "[FallBack]\nURL=a\nUrl=b", "\r\n[SIGNATURE]\r\nSIGNATURE=%s\r\n", "[a,b]"},
    {"spaces_around_equals_and_comment", "[fallback]\n\turl = a ; the first server", SIG, "[a]"},
    {"hash_cuts_a_value", "[fallback]\nurl=http://a/#x\nurl=http://b/;y", SIG, "[http://a/,http://b/]"},
    {"spaces_inside_brackets", "[ fallback ]\nurl=a", SIG, "[a]"},
    {"url_before_first_section_ignored", "url=x\n[fallback]\nurl=a", SIG, "[a]"},
    {"other_sections_and_keys_ignored", "[main]\nurl=x\nname = zone\n[fallback]\nhost=y\nurl=a", SIG, "[a]"},
    {"section_given_twice", "[fallback]\nurl=a\n[other]\nurl=x\n[fallback]\nurl=b", SIG, "[a,b]"},
    {"empty_url", "[fallback]\nurl=\nurl=  ", SIG, "[,]"},
    {"comment_and_blank_lines", "; zone file\n\n# more\n   \n[fallback] ; servers\n\nurl=a\n", SIG, "[a]"},
    {"no_fallback_section", "[main]\nname=zone", SIG, "[]"},
    {"empty_signed_part_is_not_signed", "", SIG, invalid_signature},
    {"value_keeps_inner_equals", "[fallback]\nurl=http://a/?x=1", SIG, "[http://a/?x=1]"},
    {"signature_part_comments_and_spacing", "[fallback]\nurl=a",
     "\r\n[signature] ; trailer\r\n\r\n  signature = %s ; hex\r\n\r\n", "[a]"},
    {"last_signature_entry_wins", "[fallback]\nurl=a", "\r\n[signature]\r\nsignature=00\r\nsignature=%s\r\n", "[a]"},
    {"earlier_signature_section_is_signed_text", "[fallback]\r\nurl=a\r\n[signature]\r\nsignature=00", SIG, "[a]"},
    {"fallback_after_signature_is_not_signed", "[fallback]\nurl=a", SIG "[fallback]\r\nurl=evil\r\n", "[a]"},

    {"bare_lf_before_signature", "[fallback]\nurl=a", "\n[Signature]\r\nSignature=%s\r\n", invalid_signature},
    {"no_signature_part", "[fallback]\nurl=a\n", "", invalid_signature},
    {"empty_signature", "[fallback]\nurl=a", "\r\n[signature]\r\nsignature=\r\n", invalid_signature},
    {"signature_in_other_section", "[fallback]\nurl=a", "\r\n[signature]\r\n[other]\r\nsignature=%s\r\n",
     invalid_signature},
    {"signature_under_other_key", "[fallback]\nurl=a", "\r\n[signature]\r\nsign=%s\r\n", invalid_signature},
    {"later_empty_signature_wins", "[fallback]\nurl=a", "\r\n[signature]\r\nsignature=%s\r\nsignature=\r\n",
     invalid_signature},
    {"signature_of_other_data", "[fallback]\nurl=a", "\r\n[signature]\r\nsignature=" + std::string(80, '1'),
     invalid_signature},
    {"signature_checked_before_signed_part_syntax", "[fallback]\nurl",
     "\r\n[signature]\r\nsignature=" + std::string(80, '1'), invalid_signature},

    {"text_after_header", "[fallback] x\nurl=a", SIG, "error: Invalid section name @0:1:1"},
    {"empty_section_name", "\n  []\nurl=a", SIG, "error: Invalid section name @3:2:3"},
    {"blank_section_name", "[   ]", SIG, "error: Invalid section name @0:1:1"},
    {"unclosed_header", "[fallback\nurl=a", SIG, "error: Invalid section name @0:1:1"},
    {"line_starting_with_equals", "[fallback]\n=a", SIG, "error: Empty key @11:2:1"},
    {"blank_key", "[fallback]\n\t = a", SIG, "error: Empty key @13:2:3"},
    {"word_alone", "[fallback]\r\nurl=a\r\n  url", SIG, "error: Syntax error @21:3:3"},
    {"comment_hides_equals", "[fallback]\nurl;=a", SIG, "error: Syntax error @11:2:1"},
    // Positions in the signature part count from the CR that begins it.
    {"syntax_error_in_signature_part", "[fallback]\nurl=a", "\r\n[signature]\r\nbogus\r\nsignature=%s\r\n",
     "error: Syntax error @15:3:1"},
    {"signature_part_checked_before_signature", "[fallback]\nurl=a",
     "\r\n[signature]\r\n =x\r\nsignature=" + std::string(80, '1'), "error: Empty key @16:3:2"},
};

void PrintTo(const parse_case_t& c, std::ostream* os) { *os << c.name; }

class ini_parse_test : public ::testing::TestWithParam<parse_case_t> {};

TEST_P(ini_parse_test, urls_or_error) {
    const parse_case_t& c = GetParam();
    EXPECT_EQ(c.expected, outcome(signed_ini(c.signed_part, c.tail)));
}

INSTANTIATE_TEST_SUITE_P(lines, ini_parse_test, ::testing::ValuesIn(parse_cases),
                         [](const ::testing::TestParamInfo<parse_case_t>& i) { return i.param.name; });

TEST(ini, every_signed_byte_is_signed) {
    const std::string signed_part = "[fallback]\r\nurl=http://a/\r\n";
    const std::string good = signed_ini(signed_part, SIG);
    ASSERT_EQ("[http://a/]", outcome(good));
    for (std::size_t i = 0; i < signed_part.size(); ++i) {
        std::string forged = good;
        forged[i] = forged[i] == 'x' ? 'y' : 'x';
        EXPECT_EQ(invalid_signature, outcome(forged)) << "byte " << i;
    }
}

TEST(ini, parse_error_is_a_runtime_error) {
    const std::string data = "[fallback]";
    try {
        upd::ini::parse(data.data(), data.data() + data.size());
        FAIL() << "accepted an unsigned file";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Invalid signature", e.what());
    }
}

class ini_file_test : public test_support::scratch_dir_test {
protected:
    ini_file_test() : scratch_dir_test("ini") {}
    // A signed file of exactly `size` bytes, padded with empty lines.
    std::string signed_of_size(std::size_t size) {
        const std::string tail_size_probe = signed_ini("x", SIG).substr(1);
        std::string part = "[fallback]\nurl=http://a/\n";
        part.append(size - part.size() - tail_size_probe.size(), '\n');
        std::string data = signed_ini(part, SIG);
        EXPECT_EQ(size, data.size());
        return data;
    }
};

TEST_F(ini_file_test, file_of_exactly_the_limit_is_read) {
    EXPECT_EQ(std::vector<std::string>{"http://a/"},
              upd::ini::get_file(write("max.ini", signed_of_size(upd::ini::max_size))));
}

TEST_F(ini_file_test, file_one_byte_over_the_limit_is_refused) {
    const fs::path p = write("big.ini", signed_of_size(upd::ini::max_size + 1));
    try {
        upd::ini::get_file(p);
        FAIL() << "read a file over the limit";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(EFBIG, e.code().value());
        EXPECT_NE(std::string::npos, std::string(e.what()).find("ini::get_file")) << e.what();
        EXPECT_EQ(p, e.path1());
    }
}

TEST_F(ini_file_test, missing_file_fails_to_open) {
    try {
        upd::ini::get_file(dir_ / "zone.ini");
        FAIL() << "read a missing file";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(ENOENT, e.code().value());
        EXPECT_NE(std::string::npos, std::string(e.what()).find("open")) << e.what();
    }
}

TEST_F(ini_file_test, directory_fails_to_read) {
    write("entry", "x");  // some file systems report an empty directory as 0 bytes
    EXPECT_THROW(upd::ini::get_file(dir_), boost::system::system_error);
}

TEST_F(ini_file_test, parse_error_closes_the_file) {
    EXPECT_THROW(upd::ini::get_file(write("zone.ini", "[fallback]\nurl=a\n")), upd::ini::parse_error_t);
}

// The signing tool keeps the file byte for byte and adds the CR LF signature section.
TEST(ini_fixture, signed_file_is_the_source_and_the_signature_section) {
    const fs::path dir = fs::path(TAVIK_TEST_DATA) / "files";
    const std::string source = read_file(dir / "zone.ini.unsigned");
    ASSERT_FALSE(source.empty());
    const std::string head = source + "\r\n[Signature]\r\nSignature=";
    const std::string data = read_file(dir / "zone.ini");
    ASSERT_EQ(head.size() + 80 + 2, data.size());
    EXPECT_EQ(head, data.substr(0, head.size()));
    EXPECT_EQ(std::string::npos, data.substr(head.size(), 80).find_first_not_of("0123456789abcdef"));
    EXPECT_EQ("\r\n", data.substr(data.size() - 2));
}

TEST(ini_fixture, signed_file_reads_and_forged_copy_fails) {
    const fs::path dir = fs::path(TAVIK_TEST_DATA) / "files";
    EXPECT_EQ((std::vector<std::string>{"http://fallback1.example.com/base", "https://fallback2.example.com/base"}),
              upd::ini::get_file(dir / "zone.ini"));
    try {
        upd::ini::get_file(dir / "zone.ini.forged");
        FAIL() << "forged copy accepted";
    } catch (const upd::ini::parse_error_t& e) {
        EXPECT_STREQ("Invalid signature", e.what());
    }
}

}  // namespace
