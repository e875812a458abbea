// tavik-update on its control channel: descriptor variable, framing, messages and signals.
#include "test_peer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>

namespace {

using namespace std::chrono_literals;
using test::peer_options_t;
using test::test_peer_t;

const std::string update_line = "Notice: Update 11.0.5.1807201428";
using lines_t = std::vector<std::string>;

peer_options_t monitor(const std::string& value, std::vector<std::string> args = {}) {
    peer_options_t options;
    options.monitor_value = value;
    options.args = std::move(args);
    return options;
}

tvk::Configd2UpdateMessage tagged(tvk::Configd2UpdateMessage::MessageTag tag) {
    tvk::Configd2UpdateMessage message;
    message.set_tag(tag);
    return message;
}

TEST(monitor_variable, value_that_is_not_an_int_ends_with_125) {
    for (const char* value : {"", "7x", "x7", " 7", "2147483648", "99999999999", "7.0"}) {
        SCOPED_TRACE(std::string("COM_TAVIK_MONITOR=") + value);
        test_peer_t peer(monitor(value));
        EXPECT_EQ(peer.wait_exit(), 125);
        EXPECT_EQ(peer.err_lines(),
                  (lines_t{update_line, "Error: bad lexical cast: source type value could not be interpreted as target",
                           "Notice: Exit with status 125 (Unexpected error)"}));
    }
}

TEST(monitor_variable, descriptor_number_selects_the_channel_and_ignores_the_command_line) {
    const struct {
        const char* title;
        std::string value;
        int child_fd;
        std::vector<std::string> args;
    } cases[] = {
        {"plain", "7", 7, {}},
        {"leading plus", "+7", 7, {}},
        {"leading zero", "09", 9, {}},
        {"plus and leading zeros", "+0000012", 12, {}},
        {"options are ignored", "7", 7, {"--help", "--bogus"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        peer_options_t options = monitor(c.value, c.args);
        options.child_fd = c.child_fd;
        test_peer_t peer(options);
        ASSERT_TRUE(peer.wait_signals_ready());
        peer.close_channel();
        EXPECT_EQ(peer.wait_exit(), 1);
        EXPECT_EQ(peer.out(), "");
        EXPECT_EQ(peer.err_lines(), (lines_t{update_line, "Error: Monitor IPC error: End of file",
                                             "Notice: Exit with status 1 (Error on monitor channel)"}));
    }
}

TEST(monitor_variable, descriptor_that_is_no_socket_ends_the_run) {
    test_peer_t peer(monitor("-1"));
    const int status = peer.wait_exit();
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    const lines_t lines = peer.err_lines();
    ASSERT_EQ(lines.size(), 3u) << peer.err();
    EXPECT_EQ(lines[1].rfind("Error: assign: ", 0), 0u) << lines[1];
}

TEST(framing, bad_length_ends_with_status_1) {
    const struct {
        const char* title;
        std::string bytes;
    } cases[] = {
        {"length 0", std::string("\0\0\0\0", 4)},
        {"00 00 00 05 announces 80 MiB", std::string("\0\0\0\x05", 4)},
        {"one byte above 64 MiB", std::string("\x01\0\0\x04", 4)},
        {"largest length", std::string("\xff\xff\xff\xff", 4)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        test_peer_t peer;
        peer.send_raw(c.bytes);
        EXPECT_EQ(peer.wait_exit(), 1);
        EXPECT_EQ(peer.err_lines(), (lines_t{update_line, "Error: Monitor IPC error: Invalid IPC message size",
                                             "Notice: Exit with status 1 (Error on monitor channel)"}));
    }
}

TEST(framing, channel_closed_inside_a_frame_is_end_of_file) {
    for (const std::string& partial : {std::string("\x05\0", 2), std::string("\x05\0\0\0abc", 7)}) {
        SCOPED_TRACE(partial.size());
        test_peer_t peer;
        peer.send_raw(partial);
        peer.close_channel();
        EXPECT_EQ(peer.wait_exit(), 1);
        EXPECT_EQ(peer.err_lines(), (lines_t{update_line, "Error: Monitor IPC error: End of file",
                                             "Notice: Exit with status 1 (Error on monitor channel)"}));
    }
}

TEST(messages, payload_that_does_not_parse_ends_with_status_1) {
    const struct {
        const char* title;
        std::string payload;
        const char* library_line;  // the parser's own complaint, when it makes one
    } cases[] = {
        {"garbage bytes", std::string("\xff\xff\xff\xff\xff", 5), nullptr},
        {"truncated field", std::string("\x12\x05\x08", 3), nullptr},
        {"required tag missing", std::string("\x12\x00", 2), "missing required fields: tag"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        test_peer_t peer;
        peer.send_frame(c.payload);
        EXPECT_EQ(peer.wait_exit(), 1);
        const lines_t lines = peer.err_lines();
        ASSERT_GE(lines.size(), 3u) << peer.err();
        EXPECT_EQ(lines.front(), update_line);
        EXPECT_EQ(lines[lines.size() - 2], "Error: Invalid IPC message format");
        EXPECT_EQ(lines.back(), "Notice: Exit with status 1 (Error on monitor channel)");
        if (c.library_line) {
            ASSERT_EQ(lines.size(), 4u) << peer.err();
            EXPECT_EQ(lines[1].rfind("Error: ", 0), 0u) << lines[1];
            EXPECT_NE(lines[1].find(c.library_line), std::string::npos) << lines[1];
        } else {
            EXPECT_EQ(lines.size(), 3u) << peer.err();
        }
    }
}

TEST(messages, use_context_without_config_is_a_protocol_violation) {
    test_peer_t peer;
    peer.send(tagged(tvk::Configd2UpdateMessage::USE_CONTEXT));
    EXPECT_EQ(peer.wait_exit(), 12);
    EXPECT_EQ(peer.err_lines(), (lines_t{update_line, "Error: USE_CONTEXT: Protocol violation",
                                         "Notice: Exit with status 12 (Protocol violation)"}));
}

TEST(messages, configuration_is_applied_once_and_a_second_one_ends_with_125) {
    test_peer_t peer;
    peer.send(test::use_context(test::stderr_config(peer.dir() + "/work")));
    ASSERT_TRUE(peer.wait_stderr(update_line));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(peer.running()) << "the process waits for further frames";
    peer.send(test::use_context(test::stderr_config(peer.dir() + "/work")));
    EXPECT_EQ(peer.wait_exit(), 125);
    // Once configured, the update attempt may log its own lines in between.
    const lines_t lines = peer.err_lines();
    EXPECT_TRUE(test::in_order(lines, {update_line, "Error: bad_function_call",
                                       "Notice: Exit with status 125 (Unexpected error)"}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), update_line), 1) << "configuration applied twice";
    EXPECT_EQ(lines.back(), "Notice: Exit with status 125 (Unexpected error)");
}

TEST(messages, installation_answers_without_request_or_with_error) {
    tvk::Configd2UpdateMessage failed = tagged(tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
    failed.mutable_error()->set_code(tvk::EC_PERMISSION_DENIED);
    const struct {
        const char* title;
        tvk::Configd2UpdateMessage message;
        int status;
        lines_t lines;
    } cases[] = {
        {"answer with error code 24", failed, 24,
         {update_line, "Error: Update installation: Permission denied",
          "Notice: Exit with status 24 (Permission denied)"}},
        {"answer nobody asked for", tagged(tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE), 125,
         {update_line, "Error: bad_function_call", "Notice: Exit with status 125 (Unexpected error)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        test_peer_t peer;
        peer.send(c.message);
        EXPECT_EQ(peer.wait_exit(), c.status);
        EXPECT_EQ(peer.err_lines(), c.lines);
    }
}

const lines_t terminated{update_line, "Notice: Termination signal received, exiting...",
                         "Notice: Exit with status 107 (Process terminated by signal)"};

TEST(signals, term_and_int_end_with_107_before_and_after_configuration) {
    for (const int sig : {SIGTERM, SIGINT}) {
        for (const bool configured : {false, true}) {
            SCOPED_TRACE(std::string(sig == SIGTERM ? "SIGTERM" : "SIGINT") + (configured ? " configured" : " early"));
            test_peer_t peer;
            if (configured) {
                peer.send(test::use_context(test::stderr_config(peer.dir() + "/work", tvk::LOG_LEVEL_NOTICE)));
                ASSERT_TRUE(peer.wait_stderr(update_line));
            } else {
                ASSERT_TRUE(peer.wait_signals_ready());
            }
            peer.kill(sig);
            EXPECT_EQ(peer.wait_exit(), 107);
            if (configured) {
                EXPECT_TRUE(test::in_order(peer.err_lines(), terminated));
                EXPECT_EQ(peer.err_lines().back(), terminated.back());
            } else {
                EXPECT_EQ(peer.err_lines(), terminated);
            }
        }
    }
}

TEST(signals, hangup_is_ignored_and_silent) {
    for (const bool configured : {false, true}) {
        SCOPED_TRACE(configured ? "configured" : "early");
        test_peer_t peer;
        if (configured) {
            peer.send(test::use_context(test::stderr_config(peer.dir() + "/work")));
            ASSERT_TRUE(peer.wait_stderr(update_line));
        } else {
            ASSERT_TRUE(peer.wait_signals_ready());
        }
        const std::size_t before = peer.err_lines().size();
        for (int i = 0; i < 5; ++i) {
            peer.kill(SIGHUP);
            std::this_thread::sleep_for(30ms);
        }
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(peer.running());
        const lines_t after = peer.err_lines();
        if (!configured) {
            EXPECT_EQ(after.size(), before);
        }
        // Whatever the attempt logs meanwhile, nothing is about the signal.
        for (std::size_t i = before; i < after.size(); ++i) {
            EXPECT_EQ(after[i].find("ignal"), std::string::npos) << after[i];
            EXPECT_EQ(after[i].find("Exit"), std::string::npos) << after[i];
        }
        peer.kill(SIGTERM);
        EXPECT_EQ(peer.wait_exit(), 107);
        const lines_t lines = peer.err_lines();
        EXPECT_TRUE(test::in_order(lines, terminated));
        EXPECT_EQ(std::count(lines.begin(), lines.end(), terminated[1]), 1);
    }
}

}  // namespace
