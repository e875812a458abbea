// Where the file checker reports how far its hashing of the installed files has come.
#pragma once

#include <cstdint>

namespace upd {

// Told the bytes to hash before the checker starts, then the bytes hashed so far, from the thread
// that runs the check.
class check_counter_t {
public:
    virtual void start_check(std::uint32_t bytes_to_check) = 0;
    virtual void set_checked(std::uint32_t bytes_checked) = 0;

protected:
    ~check_counter_t() = default;
};

}  // namespace upd
