// Downloads of one run over several connections at once, one thread and downloader per connection.
#include "engine/fetch_pool.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <cstdlib>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace upd {

struct fetch_pool_t::lane_t {
    boost::asio::io_service io_service;
    std::unique_ptr<downloader_t> downloader;
    boost::thread thread;
};

fetch_pool_t::fetch_pool_t(std::size_t lanes, make_downloader_t make_downloader, job_t job)
    : lanes_(lanes), make_downloader_(std::move(make_downloader)), job_(std::move(job)) {}

void fetch_pool_t::run(std::size_t count, downloader_t& own) {
    std::vector<std::unique_ptr<lane_t>> lanes;
    for (std::size_t i = 0; i < lanes_ && i < count; ++i) {
        lanes.emplace_back(new lane_t);
        lanes.back()->downloader = make_downloader_(lanes.back()->io_service);
    }
    // Guards everything below and the lanes' thread objects: a thread object is only touched
    // under it, or once no lane runs any more, so interrupt() never meets a join() of the same
    // object (in Boost 1.74 both copy its state without a lock).
    boost::mutex mutex;
    boost::condition_variable lane_ended;
    std::size_t next = 0, running = 0;
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
                boost::lock_guard<boost::mutex> lock(mutex);
                if (stopped || next == count) break;
                job = next++;
            }
            try {
                job_(*lane.downloader, job);
            } catch (const boost::thread_interrupted&) {
                break;
            } catch (...) {
                boost::lock_guard<boost::mutex> lock(mutex);
                if (!stopped) failure = std::current_exception(), stop();
                break;
            }
        }
        boost::lock_guard<boost::mutex> lock(mutex);
        --running;
        lane_ended.notify_all();
        own.wake();
    };
    {
        boost::lock_guard<boost::mutex> lock(mutex);  // no lane stops the others before all have started
        running = start(lanes, work);
    }
    if (lanes.empty()) {
        for (std::size_t i = 0; i < count; ++i) job_(own, i);
        return;
    }
    boost::unique_lock<boost::mutex> lock(mutex);
    try {
        // The calling thread drives the multiplexed connections the lanes' requests go over.
        lock.unlock();
        own.drive_until([&] {
            boost::lock_guard<boost::mutex> guard(mutex);
            return running == 0;
        });
        lock.lock();
        while (running) lane_ended.wait(lock);  // an interruption point
    } catch (...) {
        if (!lock.owns_lock()) lock.lock();
        stop();
        boost::this_thread::disable_interruption undisturbed;
        while (running) lane_ended.wait(lock);
        lock.unlock();
        for (auto& lane : lanes) lane->thread.join();
        throw;
    }
    lock.unlock();
    for (auto& lane : lanes) lane->thread.join();
    if (failure) std::rethrow_exception(failure);
}

std::size_t fetch_pool_t::start(std::vector<std::unique_ptr<lane_t>>& lanes,
                                const std::function<void(lane_t&)>& work) const {
    std::size_t started = 0;
    try {
        // test hook: begin
        // TAVIK_TEST_FAILING_LANE=N: the Nth lane fails to start, as when the process limit is reached.
        const char* failing = std::getenv("TAVIK_TEST_FAILING_LANE");
        // test hook: end
        for (auto& lane : lanes) {
            // test hook: begin
            if (failing && std::to_string(started + 1) == failing)
                throw boost::thread_resource_error(EAGAIN, "test hook");
            // test hook: end
            lane_t* l = lane.get();
            l->thread = boost::thread([work, l] { work(*l); });  // a copy: the argument is a temporary
            ++started;
        }
    } catch (const std::exception& e) {
        // Out of processes or memory: the lanes that started do the work. They are kept; the rest
        // never ran and is dropped before anything could refer to it.
        const std::size_t planned = lanes.size();
        lanes.resize(started);
        if (started)
            LOG_WARNING("Downloads: " << started << " of " << planned << " connections started: " << exception_text(e));
        else
            LOG_WARNING("Downloads: no connection started, one file after another: " << exception_text(e));
    }
    return started;
}

}  // namespace upd
