// LZMA-alone containers of the standard tool: caps, decoder errors, files on disk.
#include "files/lzma_decompress.hpp"
#include "framework/error_code.hpp"
#include "tests/support/support.hpp"

#include <sys/stat.h>

namespace {

std::string stating(std::string bytes, std::uint64_t size) {  // the header's size, as the updater wants it
    for (int i = 0; i < 8 && bytes.size() > 13; ++i) bytes[5 + i] = static_cast<char>(size >> (8 * i));
    return bytes;
}

std::string container(const ts::fs::path& file, std::uint64_t size) {  // by `xz --format=lzma`
    FILE* p = ::popen(("xz --format=lzma --stdout '" + file.string() + "'").c_str(), "r");
    std::string out;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    EXPECT_EQ(::pclose(p), 0) << "xz (package xz-utils) failed";
    return stating(out, size);
}

TEST(lzma, containers_unpack_or_are_refused) {
    auto log = ts::capture_log_t::install();
    ts::scratch_t dir;
    std::string content;
    for (int i = 0; content.size() < 300000; ++i) content += "line " + std::to_string(i * 7919 % 1000) + "\n";
    ts::spit(dir / "plain", content);
    const std::string packed = container(dir / "plain", content.size());
    const auto outcome = [&](const std::string& packed, std::uint64_t size) {
        const std::string bytes = stating(packed, size);
        try {
            const auto out = upd::lzma_decompress(bytes.data(), bytes.data() + bytes.size());
            return std::string(out.begin(), out.end()) == content.substr(0, size)
                       ? "same"
                       : "other " + std::to_string(out.size());
        } catch (const boost::system::system_error& e) {
            return e.code() == tvk::make_error_code(tvk::EC_BAD_LZMA_FILE) ? log->lines.back() : "wrong code";
        }
    };
    EXPECT_EQ(outcome(packed, content.size()), "same");
    EXPECT_EQ(outcome(packed, upd::max_in_memory), "other 33554432") << "the end marker comes first; zeros follow";
    EXPECT_EQ(outcome(packed, upd::max_in_memory + 1), "Debug: Invalid uncompressed lzma size=33554433");
    EXPECT_EQ(outcome(packed.substr(0, 13), 0), "Debug: Invalid lzma buffer size=13");
    EXPECT_EQ(outcome("\xff" + packed.substr(1), content.size()), "Debug: LzmaDecode: error=4");
    EXPECT_EQ(outcome(packed.substr(0, packed.size() / 2), content.size()).substr(0, 25), "Debug: LzmaDecode: error=");
    ts::spit(dir / "plain", "the content\n"), ::mkfifo((dir / "target").c_str(), 0600);  // planted: would block an open
    ts::spit(dir / "file.lzma", container(dir / "plain", 12));
    ts::spit(dir / "padded.lzma", ts::slurp(dir / "file.lzma") + std::string(140, '\0'));
    ts::spit(dir / "huge.lzma", ""), ts::fs::resize_file(dir / "huge.lzma", upd::max_in_memory + 1),
        ts::fs::create_symlink(dir / "file.lzma", dir / "link.lzma");
    const int fd = ts::lowest_free_fd();
    upd::lzma_decompress_file(dir / "file.lzma", dir / "target", 12);
    EXPECT_EQ(ts::slurp(dir / "target"), "the content\n") << "whatever stood at the target is replaced";
    // Refused before any allocation: the container must fit the listed size.
    const std::tuple<const char*, std::uint64_t, std::string> refused[] = {
        {"huge.lzma", 32 << 20, "Debug: Invalid lzma file size=33554433"},
        {"file.lzma", 11, "Debug: Invalid uncompressed lzma size=12, listed 11"},
        {"padded.lzma", 12, "Debug: Invalid lzma file size=" + std::to_string(ts::fs::file_size(dir / "padded.lzma"))},
        {"link.lzma", 12, ""}};
    for (const auto& [name, listed, line] : refused) {
        log->lines.clear();
        EXPECT_THROW(upd::lzma_decompress_file(dir / name, dir / "untouched", listed), boost::system::system_error);
        EXPECT_EQ(log->text(), line.empty() ? "" : line + "\n") << name;
        EXPECT_FALSE(ts::fs::exists(dir / "untouched")) << "the destination only after a whole decode";
    }
    EXPECT_EQ(ts::lowest_free_fd(), fd);
    reset_log_for_tests();
}

}  // namespace
