// The programs' command-line conventions: help, usage errors and unreadable inputs, each with its status and stream.
#include "tests/support/updater_process.hpp"

namespace {

using ran_t = std::tuple<int, std::string, std::string>;  // status, standard output, standard error

ran_t run(const std::string& program,
          const std::vector<std::string>& args) {  // the build's program, without standard input
    ts::updater_t ran(ts::launch_t{args, nullptr, 7, RLIM_INFINITY, {}, program});
    return ran_t{ran.wait_exit(), ran.out(), ran.err()};  // in this order: the streams once it has ended
}

TEST(usage, help_goes_to_standard_output_and_usage_errors_and_unreadable_inputs_name_their_cause) {
    const std::string s = "tavik-sign", pub = TAVIK_SOURCE_DIR "/keys/development.pub", gone = "/nonexistent/x",
                      zone = "tavik-sign make-zone: ";
    const std::string no_such = "\"" + gone + "\": No such file or directory\n";
    const std::string lst = TAVIK_TEST_DATA "/files/version.lst",
                      drl = TAVIK_TEST_DATA "/files/update.drl";  // with and without a part
    // Program, arguments, status, then the start of standard output and of standard error ("": nothing at all).
    const std::tuple<std::string, std::vector<std::string>, int, std::string, std::string> rows[] = {
        {s, {"--help"}, 0, "usage: tavik-sign COMMAND ARGS...\n", ""},
        {s, {"-h"}, 0, "usage: tavik-sign COMMAND", ""},
        {s, {}, 2, "", "usage: tavik-sign COMMAND"},
        {s, {"frob"}, 2, "", "tavik-sign: unknown command \"frob\"\nusage:"},
        {s, {"verify", pub, "-h"}, 0, "usage: tavik-sign verify FILE [--type drl|lst|ini]\ncheck ", ""},
        {s, {"make-zone", "--help"}, 0, "usage: tavik-sign make-zone --key K --files DIR --out OUTDIR --url U", ""},
        {s,
         {"make-zone", "--files", "f", "--out", "o", "--url", "u"},
         2,
         "",
         zone + "--key is missing\nusage: tavik-sign make-zone --key K"},
        {s,
         {"make-zone", "--key", "k", "--files", "f", "--out", "o", "--url", "u", "--wait", "86401"},
         2,
         "",
         zone + "--wait takes a number from 0 to 86400\n"},
        {s,
         {"make-zone", "--key", "k", "--files", "f", "--out", "o", "--url", "u", "--fast"},
         2,
         "",
         zone + "unexpected argument \"--fast\"\n"},
        {s, {"keygen"}, 2, "", "tavik-sign keygen: OUT_BASENAME is missing\n"},
        {s, {"sign-data", pub}, 2, "", "tavik-sign sign-data: DATA_FILE is missing\n"},
        {s, {"sign-drl", "in", "out"}, 2, "", "tavik-sign sign-drl: --key is missing\n"},
        {s, {"sign-drl", gone, "out", "--key", pub}, 1, "", "tavik-sign sign-drl: " + no_such},
        {s, {"verify", gone}, 2, "", "tavik-sign verify: " + no_such},
        {s, {"verify-data", gone, "00"}, 2, "", "tavik-sign verify-data: " + no_such},
        {s, {"verify", TAVIK_SOURCE_DIR}, 2, "", "tavik-sign verify: \"" TAVIK_SOURCE_DIR "\": Is a directory\n"},
        {s, {"verify", pub}, 1, "", pub + ": "},
        {s, {"verify-data", pub, "00"}, 1, "invalid\n", ""},
        {s,
         {"verify", lst},
         0,
         lst + ": valid LST file, 2 files, 2 patterns\n  signed by DSA key 7c839e0b85c89cd8\n  Ed25519 part by "
               "c59aabed9143d796: valid\n",
         ""},
        {s,
         {"verify", drl},
         1,
         drl + ": valid DRL file, 2 URLs\n",
         drl + ": no valid Ed25519 part by a key of this build (c59aabed9143d796)\n"},
        // tavik-run keeps its own statuses: 60 for a wrong command line, 102 for a configuration it cannot read.
        {"tavik-run", {"--help"}, 0, "Usage: tavik-run [options] [CONFIG]\n", ""},
        {"tavik-run", {}, 102, "", "tavik-run: cannot open " TAVIK_DEFAULT_CONFIG ": No such"},
        {"tavik-run", {"--connections", "0", "c"}, 60, "", "tavik-run: --connections takes a number from 1 to 16\n"},
        {"tavik-run", {"--wait", "86401", "c"}, 60, "", "tavik-run: --wait takes a number from 0 to 86400\n"},
        {"tavik-run", {"--fast", "c"}, 60, "", "tavik-run: unrecognised option '--fast'\n"},
        {"tavik-run", {gone}, 102, "", "tavik-run: cannot open " + gone + ": No such"},
    };
    for (const auto& r : rows) {
        if (std::get<0>(r) == "tavik-run" && std::get<1>(r).empty() && ::access(TAVIK_DEFAULT_CONFIG, F_OK) == 0)
            continue;  // this machine has its own
        const ran_t ran = run(std::get<0>(r), std::get<1>(r));
        const auto start = [](const std::string& text, const std::string& prefix) {
            return prefix.empty() ? text : text.substr(0, prefix.size());
        };
        EXPECT_EQ(
            ran_t(std::get<0>(ran), start(std::get<1>(ran), std::get<3>(r)), start(std::get<2>(ran), std::get<4>(r))),
            ran_t(std::get<2>(r), std::get<3>(r), std::get<4>(r)))
            << std::accumulate(std::get<1>(r).begin(), std::get<1>(r).end(), std::get<0>(r),
                               [](std::string t, const std::string& a) { return t + " " + a; });
    }
}

}  // namespace
