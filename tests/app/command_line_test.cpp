// tavik-update without its control channel: help, version, refusal and bad options.
#include "test_peer.hpp"

#include <gtest/gtest.h>

namespace {

using test::peer_options_t;
using test::test_peer_t;

const char refusal[] = "Cannot run standalone. See tavik-update(1) for details.\n";
const char version[] = "tavik-update 11.0.5.1807201428\n";

peer_options_t command_line(std::vector<std::string> args) {
    peer_options_t options;
    options.monitor = false;
    options.args = std::move(args);
    return options;
}

TEST(command_line, prints_version_or_refusal_exactly) {
    const struct {
        const char* title;
        std::vector<std::string> args;
        const char* out;
        int status;
    } cases[] = {
        {"no arguments: refusal", {}, refusal, 1},
        {"positional argument: refusal", {"now"}, refusal, 1},
        {"-v", {"-v"}, version, 0},
        {"--version", {"--version"}, version, 0},
        {"long form in capitals", {"--VERSION"}, version, 0},
        {"mixed case", {"--Version"}, version, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        test_peer_t peer(command_line(c.args));
        EXPECT_EQ(peer.wait_exit(), c.status);
        EXPECT_EQ(peer.out(), c.out);
        EXPECT_EQ(peer.err(), "");
    }
}

TEST(command_line, help_lists_the_options_and_wins_over_version) {
    for (const auto& args : {std::vector<std::string>{"-h"}, std::vector<std::string>{"--help"},
                             std::vector<std::string>{"-v", "-h"}, std::vector<std::string>{"--version", "--HELP"}}) {
        SCOPED_TRACE(args.back());
        test_peer_t peer(command_line(args));
        EXPECT_EQ(peer.wait_exit(), 0);
        const std::string out = peer.out();
        EXPECT_EQ(out.rfind("Command line options:\n", 0), 0u) << out;
        EXPECT_NE(out.find("-h [ --help ]"), std::string::npos) << out;
        EXPECT_NE(out.find("print help message and exit"), std::string::npos) << out;
        EXPECT_NE(out.find("-v [ --version ]"), std::string::npos) << out;
        EXPECT_NE(out.find("print version and exit"), std::string::npos) << out;
        EXPECT_EQ(out.find("tavik-update 11"), std::string::npos) << "version printed as well";
        EXPECT_EQ(peer.err(), "");
    }
}

TEST(command_line, undefined_option_is_an_error_without_exit_line) {
    const struct {
        const char* title;
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {"unknown long option", {"--bogus"}, "Error: unrecognised option '--bogus'\n"},
        {"unknown short option", {"-x"}, "Error: unrecognised option '-x'\n"},
        {"value for a switch", {"--version=yes"}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        test_peer_t peer(command_line(c.args));
        EXPECT_EQ(peer.wait_exit(), 125);
        EXPECT_EQ(peer.out(), "");
        const std::string err = peer.err();
        if (c.error) {
            EXPECT_EQ(err, c.error);
        } else {
            EXPECT_EQ(err.rfind("Error: ", 0), 0u) << err;
        }
        EXPECT_EQ(err.find("Exit with status"), std::string::npos) << err;
    }
}

}  // namespace
