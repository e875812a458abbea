// The manual page must not drift from the program: status texts, quoted outputs, names.
#include "test_peer.hpp"

#include "framework/error_code.hpp"
#include "framework/version.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

namespace {

const std::string man_page_path = std::string(TAVIK_SOURCE_DIR) + "/docs/tavik-update.1";

// Rows "N|text" of the exit status table (between .TS and .TE, after the format lines).
std::map<int, std::string> status_table(const std::string& page) {
    std::map<int, std::string> rows;
    std::istringstream in(page);
    bool in_table = false;
    for (std::string line; std::getline(in, line);) {
        if (line == ".TS") {
            in_table = true;
        } else if (line == ".TE") {
            in_table = false;
        } else if (in_table) {
            const auto bar = line.find('|');
            if (bar == std::string::npos || line.find_first_not_of("0123456789") != bar) continue;
            rows[std::stoi(line.substr(0, bar))] = line.substr(bar + 1);
        }
    }
    return rows;
}

TEST(man_page, status_texts_are_the_schema_texts) {
    const std::string page = test::read_file(man_page_path);
    ASSERT_FALSE(page.empty()) << man_page_path;
    const std::map<int, std::string> rows = status_table(page);
    ASSERT_FALSE(rows.empty()) << "no exit status table";
    for (const auto& row : rows) {
        EXPECT_TRUE(tvk::ErrorCode_IsValid(row.first)) << row.first << " is no error code";
        EXPECT_EQ(row.second, error_code_text(static_cast<tvk::ErrorCode>(row.first))) << "status " << row.first;
    }
    // The statuses the process produces itself must all be documented.
    for (const int status : {tvk::EC_OK, tvk::EC_MONITOR_IPC_ERROR, tvk::EC_PROTOCOL_VIOLATION, tvk::EC_NO_MEMORY,
                             tvk::EC_BAD_CONFIG, tvk::EC_APP_TERMINATED, tvk::EC_UNEXPECTED_ERROR}) {
        EXPECT_EQ(rows.count(status), 1u) << "status " << status << " missing";
    }
}

TEST(man_page, quotes_what_the_program_prints) {
    const std::string page = test::read_file(man_page_path);
    test::peer_options_t options;
    options.monitor = false;
    test::test_peer_t refusal(options);
    ASSERT_EQ(refusal.wait_exit(), 1);
    options.args = {"--version"};
    test::test_peer_t version(options);
    ASSERT_EQ(version.wait_exit(), 0);

    for (std::string printed : {refusal.out(), version.out()}) {
        ASSERT_FALSE(printed.empty());
        printed.pop_back();  // newline
        EXPECT_NE(page.find("\"" + printed + "\""), std::string::npos) << printed;
    }
    EXPECT_NE(page.find(std::string("\"tavik-update 11.0.5.1807201428\" \"User Commands\"")), std::string::npos);
    EXPECT_NE(page.find(std::string("tavik-update ") + upd_version), std::string::npos);
    for (const char* name : {"COM_TAVIK_MONITOR", "tavik-update.cache", "\\-\\-help", "\\-\\-version", "SIGTERM",
                             "SIGINT", "SIGHUP", "USE_CONTEXT", "67108864"}) {
        EXPECT_NE(page.find(name), std::string::npos) << name;
    }
}

}  // namespace
