// Downloads of one run over several connections at once, one thread and downloader per connection.
#pragma once

#include "net/downloader.hpp"

#include <boost/asio/io_service.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace upd {

// Runs jobs 0..count-1 on up to `lanes` threads, each with its own io_service and downloader, so
// that the files of a run travel over several connections at once (on a link with latency, round
// trips dominate, not bytes). Jobs start in order; the first failure stops every lane (partial
// files go as on any failed download) and run() throws it once all lanes have ended; so does an
// interruption of the calling thread. Lanes that cannot start (no processes or memory left) are
// done without: the others take their jobs, and with none, `own` does them one after another.
// While the lanes work, the calling thread drives `own`'s multiplexed connections: a lane whose
// server chose HTTP/2 hands its requests to the one connection and waits, and the jobs' first
// requests may all be in flight there at once (downloader_t::prefetch).
class fetch_pool_t {
public:
    using make_downloader_t = std::function<std::unique_ptr<downloader_t>(boost::asio::io_service&)>;
    using job_t = std::function<void(downloader_t&, std::size_t)>;

    fetch_pool_t(std::size_t lanes, make_downloader_t make_downloader, job_t job);

    void run(std::size_t count, downloader_t& own);

private:
    struct lane_t;
    // Starts a thread per lane running `work`; returns how many started (the rest are dropped).
    std::size_t start(std::vector<std::unique_ptr<lane_t>>& lanes, const std::function<void(lane_t&)>& work) const;

    std::size_t lanes_;
    make_downloader_t make_downloader_;
    job_t job_;
};

}  // namespace upd
