// Collects progress and byte counts from any thread and hands them to a watcher on the main loop.
#pragma once

#include "control/progress_watcher.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/thread/mutex.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace upd {

class progress_t {
public:
    progress_t(boost::asio::io_service& io_service, progress_watcher_t* watcher);
    progress_t(const progress_t&) = delete;
    progress_t& operator=(const progress_t&) = delete;

    void start_check(std::uint32_t bytes_to_check);
    void set_checked(std::uint32_t bytes_checked);
    void start_download(std::uint32_t files, std::uint32_t bytes);
    void set_current_file(const std::string& name);
    void file_done(std::uint32_t bytes);
    void add_sent(std::uint32_t n);
    void add_received(std::uint32_t n);

    // Sends the pending byte counts now and restarts the one-second period.
    void flush_stat();

    // What the statistics messages have reported so far; 32 bits, as they count.
    std::uint32_t total_sent();
    std::uint32_t total_received();
    // Every byte received, reported or not, in 64 bits.
    std::uint64_t received();

private:
    void schedule_notification();  // caller holds mutex_
    void notify_watcher();
    void handle_stat_timer(const boost::system::error_code& ec);
    void report_stat();  // caller holds mutex_
    void arm_timer();

    boost::asio::io_service& io_service_;
    progress_watcher_t* watcher_;
    boost::asio::steady_timer timer_;
    boost::mutex mutex_;
    tvk::UpdateCheckProgress check_;
    tvk::UpdateDownloadProgress download_;
    tvk::UpdateAppStat stat_;
    std::uint32_t check_revision_ = 0;
    std::uint32_t notified_check_revision_ = 0;
    std::uint32_t download_revision_ = 0;
    std::uint32_t notified_download_revision_ = 0;
    bool notification_pending_ = false;
    std::uint32_t total_sent_ = 0;
    std::uint32_t total_received_ = 0;
    std::uint64_t received_ = 0;
    // Handlers still queued on the io_service after destruction see this expire and do nothing.
    std::shared_ptr<char> lifetime_ = std::make_shared<char>();
};

}  // namespace upd
