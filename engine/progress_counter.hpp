// The network client's byte counts, passed on to the progress reports.
#pragma once

#include "control/progress.hpp"
#include "net/byte_counter.hpp"

namespace upd {

class progress_counter_t final : public byte_counter_t {
public:
    explicit progress_counter_t(progress_t& progress) : progress_(progress) {}

    void add_sent(std::uint32_t n) override { progress_.add_sent(n); }
    void add_received(std::uint32_t n) override { progress_.add_received(n); }

private:
    progress_t& progress_;
};

}  // namespace upd
