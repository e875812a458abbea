// One file to install: where it goes, where it was downloaded, its size and SHA-256.
#pragma once

#include <cstdint>
#include <string>

namespace upd {

struct file_item_t {
    std::string destination;
    std::string source;
    std::uint32_t size = 0;
    std::string sha256;  // raw digest bytes
    bool packed = true;  // the servers have NAME.lzma beside it, as the list says

    // Measures size and SHA-256 of the file at `source`; throws cf_outcome_t EC_IO_ERROR.
    void compute_digest();
};

}  // namespace upd
