// Where the network client counts the bytes it sends and receives.
#pragma once

#include <cstdint>

namespace upd {

// Told each write's and each read's byte count by the thread that runs the connection; the
// connections of one run may share a counter.
class byte_counter_t {
public:
    virtual void add_sent(std::uint32_t n) = 0;
    virtual void add_received(std::uint32_t n) = 0;

protected:
    ~byte_counter_t() = default;
};

}  // namespace upd
