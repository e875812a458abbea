// The process log: buffering until the first sink, levels, the sink each type makes.
#include "tests/support/support.hpp"

namespace {

TEST(cf_log, buffering_levels_and_sinks) {
    reset_log_for_tests();
    cf_log_t::level_ = cf_log_t::debug;
    LOG_DEBUG("early debug");
    LOG_WARNING("early warning");
    cf_log_t::level_ = cf_log_t::from_config(tvk::LOG_LEVEL_WARNING);
    auto sink = std::make_shared<ts::capture_log_t>();
    set_log(sink);
    int built = 0;
    LOG_NOTICE("late notice " << ++built);
    LOG_ERROR("late error " << ++built);
    log_out_of_memory();
    LOG_ERROR("200 \r\nX: 1\x1b[2J\x7f\tend");  // one record is one line, whatever a server sent
    LOG_ERROR(std::string(5000, 'a'));
    EXPECT_EQ(sink->lines, (std::vector<std::string>{"Warning: early warning", "Error: late error 1", "out of memory",
                                                     "Error: 200 \\x0D\\x0AX: 1\\x1B[2J\\x7F\tend",
                                                     "Error: " + std::string(4093, 'a') + "..."}));
    reset_log_for_tests();
    const std::string levels[] = {"Error 3",   "Debug 7", "Info 6", "Notice 5",
                                  "Warning 4", "Error 3", "Error 3"};  // text, syslog priority
    for (int level = 0; level <= 6; ++level) {
        const cf_log_t::level_t l = cf_log_t::from_config(level);
        EXPECT_EQ(cf_log_t::level_text(l) + (" " + std::to_string(cf_log_t::syslog_priority(l))), levels[level])
            << "configured " << level;
    }
    tvk::Log config;  // the sinks' lines are checked through the real program
    config.set_type(tvk::Log::STDERR);
    EXPECT_TRUE(std::dynamic_pointer_cast<cf_console_log_t>(make_log(config)));
    config.set_show_timestamp(true);
    EXPECT_TRUE(std::dynamic_pointer_cast<cf_file_log_t>(make_log(config)));
    config.set_type(tvk::Log::SYSLOG);
    EXPECT_TRUE(std::dynamic_pointer_cast<cf_syslog_log_t>(make_log(config)));
    config.set_type(tvk::Log::AUTO);
    EXPECT_FALSE(make_log(config));
}

}  // namespace
