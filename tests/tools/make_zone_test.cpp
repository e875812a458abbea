// tavik-sign make-zone: the tree verifies with the updater's own readers, every packed file
// unpacks to its plain form with the standard tools and the updater's decoder, and inputs that
// would make a tree the updater refuses are refused up front.
#include "tools/tavik-sign/make_zone.hpp"

#include "files/drl_file.hpp"
#include "files/ini.hpp"
#include "files/lst_file.hpp"
#include "files/lzma_decompress.hpp"
#include "support/test_support.hpp"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using test_support::command_result_t;
using test_support::exists;
using test_support::listing;
using test_support::quote;
using test_support::read_file;
using test_support::shell;
using test_support::write_file;

std::string sha256_raw(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), n);
}

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
}

const std::string key = std::string(TAVIK_SOURCE_DIR) + "/keys/development.key";

class MakeZoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavik-make-zone-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        files_ = root_ + "/files";
        out_ = root_ + "/out";
        ASSERT_EQ(::mkdir(files_.c_str(), 0755), 0);
        write_file(files_ + "/daily.avc", std::string(50000, 'v') + "end");
        write_file(files_ + "/random.bin", random_bytes(70000, 7));
        write_file(files_ + "/timestamp", "1765000000\n");
        write_file(files_ + "/empty.dat", "");
    }
    void TearDown() override { std::system(("rm -rf " + quote(root_)).c_str()); }

    command_result_t make_zone(const std::string& extra) {
        return shell(std::string(TAVIK_SIGN) + " make-zone --key " + quote(key) + " --files " +
                     quote(files_) + " --out " + quote(out_) + " " + extra);
    }

    std::string root_, files_, out_;
};

TEST_F(MakeZoneTest, TreeVerifiesWithTheUpdatersReaders) {
    const command_result_t r =
        make_zone("--url http://127.0.0.1:1/base/ --url http://127.0.0.1:2/base "
                  "--fallback http://127.0.0.1:3/fb --fallback http://127.0.0.1:4/fb "
                  "--pattern '*.avc' --pattern 'old-?.dat' --stamp 2026120601");
    ASSERT_EQ(r.status, 0) << r.out;

    for (const char* file : {"version.lst", "update.drl", "zone.ini"}) {
        const command_result_t v = shell(std::string(TAVIK_SIGN) + " verify " + quote(out_ + "/" + file));
        EXPECT_EQ(v.status, 0) << file << ": " << v.out;
    }

    const std::string list = read_file(out_ + "/version.lst");
    upd::lst_file_t lst;
    lst.parse(list.data(), list.data() + list.size());
    EXPECT_EQ(lst.names(), (std::vector<std::string>{"daily.avc", "empty.dat", "random.bin",
                                                     "timestamp", "update.drl", "zone.ini"}));
    for (const std::string& name : lst.names()) {
        const std::string content = read_file(out_ + "/" + name);
        EXPECT_EQ(lst.digest_of(name), sha256_raw(content)) << name;
        EXPECT_EQ(lst.size_of(name), content.size()) << name;
        if (name != "update.drl" && name != "zone.ini") {
            EXPECT_EQ(content, read_file(files_ + "/" + name)) << name;
        }
    }
    EXPECT_EQ(lst.patterns(), (std::vector<std::string>{"*.avc", "old-?.dat"}));
    EXPECT_EQ(list.compare(0, 32, "[TavikUpdateList]\n[2026120601]\n+"), 0);

    upd::drl_file_t drl;
    drl.load(out_ + "/update.drl");
    EXPECT_EQ(drl.urls(), (std::set<std::string>{"http://127.0.0.1:1/base/", "http://127.0.0.1:2/base"}));
    EXPECT_EQ(upd::ini::get_file(out_ + "/zone.ini"),
              (std::vector<std::string>{"http://127.0.0.1:3/fb", "http://127.0.0.1:4/fb"}));

    // The packed list holds exactly the signed plain list.
    const std::string packed_list = read_file(out_ + "/version.lst.lzma");
    const std::vector<char> unpacked =
        upd::lzma_decompress(packed_list.data(), packed_list.data() + packed_list.size());
    EXPECT_EQ(std::string(unpacked.begin(), unpacked.end()), list);
}

TEST_F(MakeZoneTest, PackedFilesUnpackToThePlainOnesWithEveryDecoder) {
    const command_result_t r = make_zone("--url http://127.0.0.1:1/");
    ASSERT_EQ(r.status, 0) << r.out;
    // The timestamp is always fetched plain, so no packed form of it is made.
    EXPECT_FALSE(exists(out_ + "/timestamp.lzma"));
    const char* packed[] = {"daily.avc", "empty.dat", "random.bin", "update.drl", "zone.ini",
                            "version.lst"};
    const struct {
        const char* name;
        const char* command;
    } decoders[] = {{"lzma", "lzma -dc "}, {"xz", "xz --format=lzma -dc "}};
    for (const char* name : packed) {
        const std::string plain = read_file(out_ + "/" + name);
        const std::string container_path = out_ + "/" + name + ".lzma";
        ASSERT_TRUE(exists(container_path)) << name;
        for (const auto& d : decoders) {
            const command_result_t u = shell(std::string(d.command) + quote(container_path));
            EXPECT_EQ(u.status, 0) << d.name << " " << name << ": " << u.out;
            EXPECT_TRUE(u.out == plain) << d.name << " " << name;
        }
        const std::string container = read_file(container_path);
        const std::vector<char> unpacked =
            upd::lzma_decompress(container.data(), container.data() + container.size());
        EXPECT_TRUE(std::string(unpacked.begin(), unpacked.end()) == plain) << name;
    }
}

TEST_F(MakeZoneTest, OptionsDecideWhichPackedFilesExist) {
    const struct {
        const char* name;
        const char* options;
        bool packed_files;
        bool packed_list;
    } cases[] = {
        {"default", "", true, true},
        {"no packed list", "--no-lzma-list", true, false},
        {"plain only", "--plain-only", false, false},
        // Running again packed after a plain run brings the packed forms back.
        {"default again", "", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const command_result_t r = make_zone(std::string("--url http://127.0.0.1:1/ ") + c.options);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(exists(out_ + "/daily.avc.lzma"), c.packed_files);
        EXPECT_EQ(exists(out_ + "/update.drl.lzma"), c.packed_files);
        EXPECT_EQ(exists(out_ + "/version.lst.lzma"), c.packed_list);
        EXPECT_TRUE(exists(out_ + "/version.lst"));
        EXPECT_FALSE(exists(out_ + "/timestamp.lzma"));
        // Without --fallback the zone.ini is still signed and names no fallback server.
        EXPECT_TRUE(upd::ini::get_file(out_ + "/zone.ini").empty());
    }
}

TEST_F(MakeZoneTest, FileTooBigForTheUpdatersDecoderIsOfferedPlainOnly) {
    const struct {
        const char* name;
        std::uint64_t size;
        bool packed;
    } cases[] = {
        {"at the limit", sign::max_packed_content, true},
        {"one byte above", sign::max_packed_content + 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = files_ + "/big.bin";
        write_file(path, "");
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(c.size)), 0);
        const command_result_t r = make_zone("--url http://127.0.0.1:1/");
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(exists(out_ + "/big.bin.lzma"), c.packed);
        const std::string list = read_file(out_ + "/version.lst");
        EXPECT_NE(list.find("+big.bin, "), std::string::npos);
        EXPECT_NE(list.find(", " + std::to_string(c.size) + "\n"), std::string::npos);
    }
}

TEST_F(MakeZoneTest, StalePackedFormOfAChangedFileDoesNotSurviveAPlainRun) {
    ASSERT_EQ(make_zone("--url http://127.0.0.1:1/").status, 0);
    write_file(files_ + "/daily.avc", "changed content");
    ASSERT_EQ(make_zone("--url http://127.0.0.1:1/ --plain-only").status, 0);
    // A left-over daily.avc.lzma would be fetched first and fail the new digest.
    EXPECT_FALSE(exists(out_ + "/daily.avc.lzma"));
    EXPECT_FALSE(exists(out_ + "/version.lst.lzma"));
    EXPECT_EQ(read_file(out_ + "/daily.avc"), "changed content");
}

TEST_F(MakeZoneTest, InputsTheUpdaterWouldRefuseAreRefusedAndNothingIsListed) {
    const struct {
        const char* name;
        const char* setup_file;  // created inside the folder of files, "" for none
        bool setup_dir;          // the entry is a folder
        std::string options;
        const char* message;
    } cases[] = {
        {"blank in a file name", "bad name.dat", false, "--url http://h/", "file name may hold only"},
        {"plus sign in a file name", "a+b.dat", false, "--url http://h/", "file name may hold only"},
        {"input named like a generated file", "update.drl", false, "--url http://h/",
         "made by make-zone itself"},
        {"sub-folder", "sub", true, "--url http://h/", "not a regular file"},
        {"packed name clash", "daily.avc.lzma", false, "--url http://h/",
         "would be replaced by the packed form"},
        {"slash in a pattern", "", false, "--url http://h/ --pattern a/b", "the pattern"},
        {"comment sign in a fallback URL", "", false, "--url http://h/ --fallback 'http://h/a;b'",
         "zone.ini takes for a comment"},
        {"blank in a URL", "", false, "--url 'http://h/ x'", "blank or a line end"},
        {"no URL", "", false, "", "at least one --url"},
        {"stamp that is not digits", "", false, "--url http://h/ --stamp 12a", "decimal digits"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string entry = files_ + "/" + c.setup_file;
        if (c.setup_dir) {
            ASSERT_EQ(::mkdir(entry.c_str(), 0755), 0);
        } else if (*c.setup_file) {
            write_file(entry, "x");
        }
        const command_result_t r = make_zone(c.options);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_FALSE(exists(out_ + "/version.lst"));
        if (*c.setup_file) std::system(("rm -rf " + quote(entry)).c_str());
    }
}

TEST_F(MakeZoneTest, OutputFolderMustNotBeTheFolderOfFiles) {
    const command_result_t r = shell(std::string(TAVIK_SIGN) + " make-zone --key " + quote(key) +
                                     " --files " + quote(files_) + " --out " + quote(files_ + "/.") +
                                     " --url http://h/");
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(exists(files_ + "/version.lst"));
    EXPECT_EQ(listing(files_), (std::vector<std::string>{"daily.avc", "empty.dat", "random.bin",
                                                         "timestamp"}));
}

TEST(LzmaPack, ContainerStatesItsSizeAndRoundTrips) {
    const struct {
        const char* name;
        std::string data;
    } cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"repetitive 1 MiB", std::string(1 << 20, 'a')},
        {"random 100000 bytes", random_bytes(100000, 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string container = sign::lzma_pack(c.data);
        ASSERT_GE(container.size(), 14u);  // the updater refuses anything shorter
        EXPECT_LT(static_cast<unsigned char>(container[0]), 225);
        std::uint64_t size = 0;
        for (int i = 7; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(container[5 + i]);
        EXPECT_EQ(size, c.data.size());
        const std::vector<char> unpacked =
            upd::lzma_decompress(container.data(), container.data() + container.size());
        EXPECT_TRUE(std::string(unpacked.begin(), unpacked.end()) == c.data);
    }
    EXPECT_LT(sign::lzma_pack(std::string(1 << 20, 'a')).size(), 1000u);
}

TEST(LstText, LinesAreSortedByNameAndPatternsFollowTheFiles) {
    const std::string text = sign::lst_text(
        "42", {{"b.avc", "00ff", 2}, {"a.avc", "abcd", 1}}, {"*.tmp", "old-?"});
    EXPECT_EQ(text,
              "[TavikUpdateList]\n[42]\n+a.avc, abcd, 1\n+b.avc, 00ff, 2\n-*.tmp,\n-old-?,\n"
              "[TavikUpdateListEnd]\n");
}

}  // namespace
