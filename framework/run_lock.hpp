// One run at a time: an advisory lock on a file that stays between runs.
#pragma once

#include "framework/fd_guard.hpp"

#include <string>

namespace upd {

// Two updater runs on one work folder would break each other's partial downloads, and two
// make-zone runs on one tree each other's generations. The lock file stays between runs and is
// never truncated: the holder writes its process id over the start of it.
class run_lock_t {
public:
    // Opens the lock file at `path` (the updater's update_dir/tavik-update.lock), created (0644) when
    // absent. A link, or a file that is not regular or has another name too, is refused: another
    // account may write in its folder, and nothing it planted is followed or written. Throws
    // boost::filesystem::filesystem_error "lock".
    explicit run_lock_t(const std::string& path);

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
