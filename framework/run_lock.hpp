// One run at a time on a work folder: an advisory lock on update_dir/tavik-update.lock.
#pragma once

#include "framework/fd_guard.hpp"

#include <string>

namespace upd {

// Two runs on one work folder would break each other's partial downloads. The lock file stays
// between runs and is never truncated: the holder writes its process id over the start of it.
class run_lock_t {
public:
    // Opens update_dir/tavik-update.lock, created (0644) when absent. A link, or a file that is not
    // regular or has another name too, is refused: the run-as account can write there, and nothing
    // it planted is followed or written. Throws boost::filesystem::filesystem_error "lock".
    explicit run_lock_t(const std::string& update_dir);

    // Takes the lock without waiting and writes this process's id: false when another holds it.
    bool try_lock();
    // The process id the holder wrote, 0 when none can be read.
    long holder() const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    fd_guard_t fd_;
};

}  // namespace upd
