// The network client's byte counts and the file checker's progress, passed on to the progress reports.
#pragma once

#include "control/progress.hpp"
#include "files/check_counter.hpp"
#include "net/byte_counter.hpp"

namespace upd {

class progress_counter_t final : public byte_counter_t, public check_counter_t {
public:
    explicit progress_counter_t(progress_t& progress) : progress_(progress) {}

    void add_sent(std::uint32_t n) override { progress_.add_sent(n); }
    void add_received(std::uint32_t n) override { progress_.add_received(n); }
    void start_check(std::uint32_t bytes_to_check) override { progress_.start_check(bytes_to_check); }
    void set_checked(std::uint32_t bytes_checked) override { progress_.set_checked(bytes_checked); }

private:
    progress_t& progress_;
};

}  // namespace upd
