// The programs' help, usage errors and unreadable inputs.
#include "tests/support/updater_process.hpp"

namespace {

TEST(usage, statuses_and_streams) {
    const std::string s = "tavik-sign", pub = TAVIK_SOURCE_DIR "/keys/development.pub", gone = "/nonexistent/x",
                      zone = "tavik-sign make-zone: ";
    const std::string no_such = "\"" + gone + "\": No such file or directory\n";
    const std::string lst = TAVIK_TEST_DATA "/files/version.lst",
                      drl = TAVIK_TEST_DATA "/files/update.drl";  // with and without a part
    // Program, arguments, status, the start of standard output and error ("": nothing).
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
        {s, {"sign-data", pub}, 2, "", "tavik-sign sign-data: DATA_FILE is missing\n"},
        {s, {"sign-drl", "in", "out"}, 2, "", "tavik-sign sign-drl: --key is missing\n"},
        {s, {"sign-drl", gone, "out", "--key", pub}, 1, "", "tavik-sign sign-drl: " + no_such},
        {s, {"verify", gone}, 2, "", "tavik-sign verify: " + no_such},
        {s, {"verify", TAVIK_SOURCE_DIR}, 2, "", "tavik-sign verify: \"" TAVIK_SOURCE_DIR "\": Is a directory\n"},
        {s, {"verify", pub}, 1, "", pub + ": "},
        {s, {"verify-data", pub, "00"}, 1, "invalid\n", ""},
        {s,
         {"verify", lst},
         0,
         lst + ": valid LST file, 2 files, 2 patterns\n  zone none named\n  signed by DSA key 7c839e0b85c89cd8\n  "
               "Ed25519 part by "
               "c59aabed9143d796: valid\n",
         ""},
        {s,
         {"verify", drl},
         1,
         drl + ": valid DRL file, 2 URLs\n",
         drl + ": no valid Ed25519 part by a key of this build (c59aabed9143d796)\n"},
        // tavik-run's own statuses: 60 for the command line, 102 for the configuration.
        {"tavik-run", {"--help"}, 0, "Usage: tavik-run [options] [CONFIG]\n", ""},
        {"tavik-run", {}, 102, "", "tavik-run: cannot open " TAVIK_DEFAULT_CONFIG ": No such"},
        {"tavik-run", {"--connections", "0", "c"}, 60, "", "tavik-run: --connections takes a number from 1 to 16\n"},
        {"tavik-run", {"--wait", "86401", "c"}, 60, "", "tavik-run: --wait takes a number from 0 to 86400\n"},
        {"tavik-run",
         {"--max-rate", "1025M", "c"},
         60,
         "",
         "tavik-run: --max-rate takes a rate from 1k to 1024M bytes a second, such as 500k or 2M\n"},
        {"tavik-run", {"--fast", "c"}, 60, "", "tavik-run: unrecognised option '--fast'\n"},
        {"tavik-run", {gone}, 102, "", "tavik-run: cannot open " + gone + ": No such"},
    };
    for (const auto& [program, args, status, out, err] : rows) {
        if (program == "tavik-run" && args.empty() && ::access(TAVIK_DEFAULT_CONFIG, F_OK) == 0)
            continue;  // this machine has its own
        ts::updater_t ran(ts::launch_t{args, nullptr, 7, RLIM_INFINITY, {}, program});
        const int ended = ran.wait_exit();  // first: then the streams are whole
        const auto start = [](const std::string& text, const std::string& prefix) {
            return prefix.empty() ? text : text.substr(0, prefix.size());
        };
        EXPECT_EQ(std::make_tuple(ended, start(ran.out(), out), start(ran.err(), err)),
                  std::make_tuple(status, out, err))
            << program << " " << ::testing::PrintToString(args);
    }
}

}  // namespace
