// A log sink for tests: keeps every line with its level so that tests can look for them.
#pragma once

#include "framework/cf_log.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tvk_test {

class capture_log_t : public cf_log_t {
public:
    void open() override {}
    void write(level_t level, const std::string& message) override { lines.emplace_back(level, message); }
    void write(const std::string&, int, const std::string& message) override {
        lines.emplace_back(debug, message);
    }
    void out_of_memory() override {}

    // Installs a fresh sink at Debug level; the caller calls reset_log_for_tests() afterwards.
    static std::shared_ptr<capture_log_t> install() {
        auto sink = std::make_shared<capture_log_t>();
        set_log(sink);
        cf_log_t::level_ = debug;
        return sink;
    }

    bool contains(level_t level, const std::string& text) const {
        return std::any_of(lines.begin(), lines.end(), [&](const std::pair<level_t, std::string>& line) {
            return line.first == level && line.second == text;
        });
    }
    bool contains_prefix(level_t level, const std::string& prefix) const {
        return std::any_of(lines.begin(), lines.end(), [&](const std::pair<level_t, std::string>& line) {
            return line.first == level && line.second.compare(0, prefix.size(), prefix) == 0;
        });
    }

    std::vector<std::pair<level_t, std::string>> lines;
};

}  // namespace tvk_test
