// Places the files of an installation request all together, or not at all.
#pragma once

#include "error.pb.h"
#include "install.pb.h"

#include <string>
#include <vector>

namespace tavik_run {

struct install_outcome_t {
    bool ok = true;
    tvk::Error error;                  // filled when !ok
    std::vector<std::string> placed;   // destinations now holding the new content
    std::vector<std::string> removed;  // to_remove entries that are gone now
    std::vector<std::string> kept;     // to_remove entries left alone because they were just placed
};

// The installation answer's code for a failed file operation.
tvk::ErrorCode error_code_for_errno(int err);

// Copies every source to a temporary file beside its destination and syncs it; only when all
// copies succeeded are they renamed into place and the to_remove files deleted. A failed copy
// removes every temporary and changes nothing.
install_outcome_t install_files(const tvk::InstallRequest& request);

}  // namespace tavik_run
