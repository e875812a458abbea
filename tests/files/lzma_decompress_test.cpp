// Unpacking of LZMA-alone containers: round trips through the standard tools, limits, decoder
// errors and what is left on disk.
#include "files/lzma_decompress.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace fs = boost::filesystem;

namespace {

using test_support::read_file;
using test_support::write_file;

// Standard output of a shell command; fails the test when the command fails.
std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) {
        ADD_FAILURE() << "popen failed: " << command;
        return std::string();
    }
    std::string out;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
    int status = ::pclose(pipe.release());
    EXPECT_EQ(status, 0) << command;
    return out;
}

// Text-like content with enough repetition to compress and enough variation to exercise matches;
// large sizes repeat a 64 KiB block with a running block number so that they stay cheap to make.
std::string sample_content(std::size_t size) {
    std::string block;
    std::uint32_t x = 12345;
    while (block.size() < 65536) {
        x = x * 1103515245u + 12345u;
        block += "line " + std::to_string(x % 1000) + " of the sample, value " + std::to_string(x >> 20) + "\n";
    }
    block.resize(65536);
    std::string s;
    s.reserve(size + block.size());
    for (std::uint32_t n = 0; s.size() < size; ++n) {
        s += block;
        s.replace(s.size() - block.size(), 12, "block " + std::to_string(100000 + n % 900000));
    }
    s.resize(size);
    return s;
}

void set_stated_size(std::string& container, std::uint64_t size) {
    for (int i = 0; i < 8; ++i) container[5 + i] = static_cast<char>((size >> (8 * i)) & 0xff);
}

class LzmaTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / fs::unique_path("lzma-test-%%%%-%%%%-%%%%");
        fs::create_directories(dir_);
        log_ = std::make_shared<test_support::capture_log_t>();
        set_log(log_);
        saved_level_ = cf_log_t::level_;
        cf_log_t::level_ = cf_log_t::debug;
    }
    void TearDown() override {
        cf_log_t::level_ = saved_level_;
        reset_log_for_tests();
        fs::remove_all(dir_);
    }

    // A container with the size stated and no end marker, as the SDK tool writes for a file.
    std::string pack_stated(const std::string& content) {
        fs::path in = dir_ / "pack-input";
        write_file(in, content);
        std::string out = run("lzmp -c -k -1 '" + in.string() + "'");
        fs::remove(in);
        return out;
    }
    // The SDK tool's stream from a pipe (size unknown, end marker), with the size then stated.
    std::string pack_stated_with_end_marker(const std::string& content) {
        fs::path in = dir_ / "pack-input";
        write_file(in, content);
        std::string out = run("lzmp -c -1 < '" + in.string() + "'");
        fs::remove(in);
        // From a pipe the tool cannot know the size: it marks it as not stated and ends the
        // stream with an end marker.
        EXPECT_EQ(out.substr(5, 8), std::string(8, '\xff'));
        if (out.size() >= 13) set_stated_size(out, content.size());
        return out;
    }
    std::string pack_xz_alone(const std::string& content) {
        fs::path in = dir_ / "pack-input";
        write_file(in, content);
        std::string out = run("xz --format=lzma -c < '" + in.string() + "'");
        fs::remove(in);
        return out;
    }

    std::vector<std::string> debug_lines() const {
        std::vector<std::string> result;
        for (const auto& line : log_->lines) {
            if (line.first == cf_log_t::debug) result.push_back(line.second);
        }
        return result;
    }

    // Runs the call, which must fail with EC_BAD_LZMA_FILE as a plain system_error, after
    // exactly the given Debug line.
    template <typename F>
    void expect_bad_lzma(F call, const std::string& debug_line) {
        log_->lines.clear();
        try {
            call();
            ADD_FAILURE() << "no exception; expected after " << debug_line;
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(typeid(e), typeid(boost::system::system_error)) << e.what();
            EXPECT_EQ(e.code(), tvk::make_error_code(tvk::EC_BAD_LZMA_FILE)) << e.what();
            EXPECT_EQ(e.code().value(), 92);
        }
        EXPECT_EQ(debug_lines(), std::vector<std::string>{debug_line});
    }

    fs::path dir_;
    std::shared_ptr<test_support::capture_log_t> log_;
    int saved_level_ = cf_log_t::error;
};

std::vector<char> unpack(const std::string& container) {
    return upd::lzma_decompress(container.data(), container.data() + container.size());
}

std::string as_string(const std::vector<char>& v) { return std::string(v.begin(), v.end()); }

TEST_F(LzmaTest, StandardToolContainersUnpackToTheExactBytes) {
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"binary with zeros", std::string("\0\1\2\0\377\376", 6)},
        {"text 100 KiB", sample_content(100 * 1024)},
        {"text 3 MiB", sample_content(3 * 1024 * 1024 + 17)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string stated = pack_stated(c.content);
        EXPECT_EQ(as_string(unpack(stated)), c.content);
        std::string marked = pack_stated_with_end_marker(c.content);
        EXPECT_EQ(as_string(unpack(marked)), c.content);

        fs::path src = dir_ / "in.lzma", dst = dir_ / "out";
        write_file(src, marked);
        upd::lzma_decompress_file(src, dst);
        EXPECT_EQ(read_file(dst), c.content);
        EXPECT_EQ(fs::status(dst).permissions(), fs::owner_read | fs::owner_write);
    }
    EXPECT_TRUE(debug_lines().empty());
}

TEST_F(LzmaTest, EndMarkerBeforeTheStatedSizeLeavesZerosAfterTheContent) {
    std::string container = pack_stated_with_end_marker("abcdef");
    set_stated_size(container, 10);
    EXPECT_EQ(as_string(unpack(container)), std::string("abcdef\0\0\0\0", 10));
}

TEST_F(LzmaTest, MalformedContainersAreRefusedWithTheirDebugLine) {
    const std::string good = pack_stated(sample_content(4096));
    ASSERT_GT(good.size(), 20u);

    std::string unknown_size = pack_xz_alone("some content");
    std::string props_225 = good;
    props_225[0] = static_cast<char>(225);
    std::string first_stream_byte = good;  // the range coder's first byte is always zero
    first_stream_byte[13] = 1;
    std::string truncated = good.substr(0, good.size() - 4);
    std::string four_stream_bytes = good.substr(0, 13 + 4);
    std::string overstated = good;  // no end marker, and the stream ends before the stated size
    set_stated_size(overstated, 4096 + 100);
    std::string understated = good;  // output is full while the stream goes on
    set_stated_size(understated, 4000);
    std::string too_large = good;
    set_stated_size(too_large, 33554433);

    const struct {
        const char* name;
        std::string container;
        std::string debug_line;
    } cases[] = {
        {"empty buffer", "", "Invalid lzma buffer size=0"},
        {"header only", good.substr(0, 13), "Invalid lzma buffer size=13"},
        {"header and one byte", good.substr(0, 14), "LzmaDecode: error=6"},
        {"four stream bytes", four_stream_bytes, "LzmaDecode: error=6"},
        {"size not stated", unknown_size, "Invalid uncompressed lzma size=18446744073709551615"},
        {"size one above the limit", too_large, "Invalid uncompressed lzma size=33554433"},
        {"properties byte 225", props_225, "LzmaDecode: error=4"},
        {"corrupt stream", first_stream_byte, "LzmaDecode: error=1"},
        {"truncated stream", truncated, "LzmaDecode: error=6"},
        {"stated size beyond the stream", overstated, "LzmaDecode: error=6"},
        {"stream beyond the stated size", understated, "LzmaDecode: error=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_bad_lzma([&] { unpack(c.container); }, c.debug_line);

        // The file form gives the same verdict for what passes its size test, and never
        // creates the destination.
        fs::path src = dir_ / "in.lzma", dst = dir_ / "out";
        write_file(src, c.container);
        std::string file_line = c.debug_line;
        if (c.container.size() < 14) file_line = "Invalid lzma file size=" + std::to_string(c.container.size());
        expect_bad_lzma([&] { upd::lzma_decompress_file(src, dst); }, file_line);
        EXPECT_FALSE(fs::exists(dst));
    }
}

TEST_F(LzmaTest, UncompressedSizeAtTheLimitIsAccepted) {
    const std::string content = sample_content(33554432);
    std::vector<char> out = unpack(pack_stated(content));
    ASSERT_EQ(out.size(), 33554432u);
    EXPECT_TRUE(as_string(out) == content);
}

TEST_F(LzmaTest, FileAtTheContainerLimitIsReadAndOneByteMoreIsRefused) {
    // Bytes after a complete stream are not looked at, so padding reaches any container size.
    const std::string content = sample_content(1000);
    std::string container = pack_stated(content);
    ASSERT_LT(container.size(), 33554432u);
    container.resize(33554432, '\x5a');

    fs::path src = dir_ / "in.lzma", dst = dir_ / "out";
    write_file(src, container);
    upd::lzma_decompress_file(src, dst);
    EXPECT_EQ(read_file(dst), content);
    fs::remove(dst);

    container.push_back('\x5a');
    write_file(src, container);
    expect_bad_lzma([&] { upd::lzma_decompress_file(src, dst); }, "Invalid lzma file size=33554433");
    EXPECT_FALSE(fs::exists(dst));
}

TEST_F(LzmaTest, ExistingDestinationIsTruncated) {
    fs::path src = dir_ / "in.lzma", dst = dir_ / "out";
    write_file(src, pack_stated("short"));
    write_file(dst, std::string(10000, 'o'));
    upd::lzma_decompress_file(src, dst);
    EXPECT_EQ(read_file(dst), "short");
}

// A filesystem_error with the location word, the path and the system error.
template <typename F>
void expect_fs_error(F call, const std::string& what, const fs::path& path,
                     const boost::system::error_condition& code) {
    try {
        call();
        ADD_FAILURE() << "no exception; expected " << what;
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.path1(), path) << e.what();
        EXPECT_EQ(std::string(e.what()).substr(0, what.size() + 1), what + ":") << e.what();
        EXPECT_EQ(e.code(), code) << e.what();
    }
}

TEST_F(LzmaTest, FileSystemFailuresNameTheStepAndThePath) {
    using boost::system::errc::make_error_condition;
    namespace errc = boost::system::errc;
    fs::path src = dir_ / "in.lzma", dst = dir_ / "out";
    write_file(src, pack_stated("content"));

    expect_fs_error([&] { upd::lzma_decompress_file(dir_ / "missing", dst); }, "open",
                    dir_ / "missing", make_error_condition(errc::no_such_file_or_directory));
    expect_fs_error([&] { upd::lzma_decompress_file(src, dir_ / "no-dir" / "out"); }, "open",
                    dir_ / "no-dir" / "out", make_error_condition(errc::no_such_file_or_directory));
    EXPECT_FALSE(fs::exists(dst));

    if (fs::exists("/dev/full")) {
        expect_fs_error([&] { upd::lzma_decompress_file(src, "/dev/full"); }, "write", "/dev/full",
                        make_error_condition(errc::no_space_on_device));
    }

    // A directory opens read-only; reading it fails.
    struct stat st;
    ASSERT_EQ(::stat(dir_.c_str(), &st), 0);
    if (st.st_size >= 14 && st.st_size <= 33554432) {
        expect_fs_error([&] { upd::lzma_decompress_file(dir_, dst); }, "read", dir_,
                        make_error_condition(errc::is_a_directory));
        EXPECT_FALSE(fs::exists(dst));
    }
}

}  // namespace
