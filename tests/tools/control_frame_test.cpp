// Control frames of tavik-run: length prefix byte order, size limits, and reassembly of pieces.
#include "control_frame.hpp"

#include "configd_update_ipc.pb.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using tavik_run::bad_frame_error;
using tavik_run::frame_reader_t;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

tvk::Configd2UpdateMessage context_with_dir(const std::string& dir) {
    tvk::Configd2UpdateMessage m;
    m.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
    m.mutable_config()->set_update_dir(dir);
    return m;
}

TEST(ControlFrame, LengthIsLittleEndianAndPrecedesThePayload) {
    const tvk::Configd2UpdateMessage m = context_with_dir(std::string(300, 'x'));
    const std::string frame = tavik_run::frame_of(m);
    const std::size_t n = m.ByteSizeLong();
    ASSERT_GT(n, 255u);  // so that two length bytes are in use and their order matters
    ASSERT_EQ(frame.size(), 4 + n);
    EXPECT_EQ(static_cast<unsigned char>(frame[0]), n & 0xff);
    EXPECT_EQ(static_cast<unsigned char>(frame[1]), (n >> 8) & 0xff);
    EXPECT_EQ(frame[2], 0);
    EXPECT_EQ(frame[3], 0);
    EXPECT_EQ(frame.substr(4), m.SerializeAsString());
}

TEST(ControlFrame, ReaderRejectsBadLengthsAsSoonAsTheyAreSeen) {
    const struct {
        const char* name;
        std::string head;
        bool rejected;
    } cases[] = {
        {"zero length", bytes({0, 0, 0, 0}), true},
        {"big-endian five is 80 MiB", bytes({0, 0, 0, 5}), true},
        {"one above 64 MiB", bytes({1, 0, 0, 4}), true},
        {"exactly 64 MiB", bytes({0, 0, 0, 4}), false},
        {"five bytes", bytes({5, 0, 0, 0}), false},
    };
    for (const auto& c : cases) {
        frame_reader_t reader;
        reader.feed(c.head.data(), c.head.size());
        std::string payload;
        if (c.rejected) {
            EXPECT_THROW(reader.next(payload), bad_frame_error) << c.name;
        } else {
            EXPECT_FALSE(reader.next(payload)) << c.name;  // waits for the payload
        }
    }
}

TEST(ControlFrame, ReaderReassemblesFramesFedOneByteAtATime) {
    const std::string stream = tavik_run::frame_of(context_with_dir("/a")) +
                               tavik_run::frame_of(context_with_dir("/bb")) +
                               tavik_run::frame_of(context_with_dir("/ccc"));
    frame_reader_t reader;
    std::vector<std::string> dirs;
    std::string payload;
    for (char c : stream) {
        reader.feed(&c, 1);
        while (reader.next(payload)) {
            tvk::Configd2UpdateMessage m;
            ASSERT_TRUE(m.ParseFromString(payload));
            dirs.push_back(m.config().update_dir());
        }
    }
    EXPECT_EQ(dirs, (std::vector<std::string>{"/a", "/bb", "/ccc"}));
    EXPECT_EQ(reader.buffered(), 0u);
}

TEST(ControlFrame, BlockingReadSeesEndOfFileTornFramesAndGarbage) {
    const struct {
        const char* name;
        std::string sent;
        const char* outcome;  // "eof", "message" or "throws"
    } cases[] = {
        {"clean end of file", "", "eof"},
        {"whole frame", tavik_run::frame_of(context_with_dir("/x")), "message"},
        {"length cut short", bytes({9, 0}), "throws"},
        {"payload cut short", bytes({9, 0, 0, 0, 8, 1}), "throws"},
        {"zero length", bytes({0, 0, 0, 0}), "throws"},
        {"payload that does not parse", bytes({2, 0, 0, 0, 0x08, 0x63}), "throws"},
    };
    for (const auto& c : cases) {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ASSERT_EQ(::write(pair[0], c.sent.data(), c.sent.size()),
                  static_cast<ssize_t>(c.sent.size()));
        ::close(pair[0]);
        tvk::Configd2UpdateMessage m;
        const std::string outcome = c.outcome;
        if (outcome == "throws") {
            EXPECT_ANY_THROW(tavik_run::read_message(pair[1], m)) << c.name;
        } else {
            EXPECT_EQ(tavik_run::read_message(pair[1], m), outcome == "message") << c.name;
            if (outcome == "message") {
                EXPECT_EQ(m.config().update_dir(), "/x");
            }
        }
        ::close(pair[1]);
    }
}

}  // namespace
