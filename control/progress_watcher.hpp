// The observer of update progress and network statistics.
#pragma once

#include "update.pb.h"
#include "update_appstat.pb.h"

namespace upd {

class progress_watcher_t {
public:
    virtual ~progress_watcher_t() = default;
    virtual void on_check_progress(const tvk::UpdateCheckProgress& progress) = 0;
    virtual void on_download_progress(const tvk::UpdateDownloadProgress& progress) = 0;
    virtual void on_stat(const tvk::UpdateAppStat& stat) = 0;
};

}  // namespace upd
