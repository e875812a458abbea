// A log sink that drops every line, installed at Debug so that the fuzzed code still builds
// each of its log texts.
#pragma once

#include "framework/cf_log.hpp"

#include <memory>
#include <string>

namespace fuzz {

class quiet_log_t : public cf_log_t {
public:
    void open() override {}
    void write(level_t, const std::string&) override {}
    void write(const std::string&, int, const std::string&) override {}
    void out_of_memory() override {}
};

inline void install_quiet_log() {
    static const bool installed = [] {
        set_log(std::make_shared<quiet_log_t>());
        cf_log_t::level_ = cf_log_t::debug;
        return true;
    }();
    (void)installed;
}

}  // namespace fuzz
