// Downloads of one run over several connections at once, one thread and downloader per connection.
#include "engine/fetch_pool.hpp"

#include <boost/thread/thread.hpp>

#include <exception>
#include <mutex>
#include <utility>
#include <vector>

namespace upd {

namespace {

struct lane_t {
    boost::asio::io_service io_service;
    std::unique_ptr<downloader_t> downloader;
    boost::thread thread;
};

}  // namespace

fetch_pool_t::fetch_pool_t(std::size_t lanes, make_downloader_t make_downloader, job_t job)
    : lanes_(lanes), make_downloader_(std::move(make_downloader)), job_(std::move(job)) {}

void fetch_pool_t::run(std::size_t count) {
    std::vector<std::unique_ptr<lane_t>> lanes;
    for (std::size_t i = 0; i < lanes_ && i < count; ++i) {
        lanes.emplace_back(new lane_t);
        lanes.back()->downloader = make_downloader_(lanes.back()->io_service);
    }
    std::mutex mutex;  // guards next, failure, stopped and the lanes' thread objects
    std::size_t next = 0;
    std::exception_ptr failure;
    bool stopped = false;
    // Interrupts before it stops: a connection that restarts its io_service looks for an
    // interruption right after, so no stop is ever lost.
    const auto stop = [&] {
        stopped = true;
        for (auto& lane : lanes) lane->thread.interrupt(), lane->io_service.stop();
    };
    const auto work = [&](lane_t& lane) {
        for (;;) {
            std::size_t job;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopped || next == count) return;
                job = next++;
            }
            try {
                job_(*lane.downloader, job);
            } catch (const boost::thread_interrupted&) {
                return;
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!stopped) failure = std::current_exception(), stop();
                return;
            }
        }
    };
    {
        std::lock_guard<std::mutex> lock(mutex);  // no lane stops the others before all have started
        for (auto& lane : lanes) lane->thread = boost::thread([&work, &lane] { work(*lane); });
    }
    try {
        for (auto& lane : lanes) lane->thread.join();
    } catch (const boost::thread_interrupted&) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop();
        }
        boost::this_thread::disable_interruption undisturbed;
        for (auto& lane : lanes)
            if (lane->thread.joinable()) lane->thread.join();
        throw;
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace upd
