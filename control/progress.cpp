// Collects progress and byte counts from any thread and hands them to a watcher on the main loop.
#include "control/progress.hpp"

#include <boost/system/system_error.hpp>

#include <chrono>

namespace upd {

progress_t::progress_t(boost::asio::io_service& io_service, progress_watcher_t* watcher)
    : io_service_(io_service), watcher_(watcher), timer_(io_service) {
    check_.set_bytes_to_check(0);
    check_.set_bytes_checked(0);
    download_.set_files_to_process(0);
    download_.set_files_processed(0);
    download_.set_bytes_to_process(0);
    download_.set_bytes_processed(0);
    stat_.set_bytes_sent(0);
    stat_.set_bytes_received(0);
    arm_timer();
}

void progress_t::arm_timer() {
    timer_.expires_from_now(std::chrono::nanoseconds(1000000000));
    std::weak_ptr<char> alive = lifetime_;
    timer_.async_wait([this, alive](const boost::system::error_code& ec) {
        if (alive.expired()) return;
        handle_stat_timer(ec);
    });
}

void progress_t::schedule_notification() {
    if (notification_pending_) return;
    notification_pending_ = true;
    std::weak_ptr<char> alive = lifetime_;
    io_service_.post([this, alive] {
        if (alive.expired()) return;
        notify_watcher();
    });
}

void progress_t::notify_watcher() {
    boost::mutex::scoped_lock lock(mutex_);
    notification_pending_ = false;
    if (check_revision_ != notified_check_revision_) {
        watcher_->on_check_progress(check_);
        notified_check_revision_ = check_revision_;
    }
    if (download_revision_ != notified_download_revision_) {
        watcher_->on_download_progress(download_);
        notified_download_revision_ = download_revision_;
    }
}

void progress_t::start_check(std::uint32_t bytes_to_check) {
    boost::mutex::scoped_lock lock(mutex_);
    check_.set_bytes_to_check(bytes_to_check);
    check_.set_bytes_checked(0);
    ++check_revision_;
    schedule_notification();
}

void progress_t::set_checked(std::uint32_t bytes_checked) {
    boost::mutex::scoped_lock lock(mutex_);
    check_.set_bytes_checked(bytes_checked);
    ++check_revision_;
    schedule_notification();
}

void progress_t::start_download(std::uint32_t files, std::uint32_t bytes) {
    boost::mutex::scoped_lock lock(mutex_);
    download_.Clear();
    download_.set_files_to_process(files);
    download_.set_files_processed(0);
    download_.set_bytes_to_process(bytes);
    download_.set_bytes_processed(0);
    ++download_revision_;
    schedule_notification();
}

void progress_t::set_current_file(const std::string& name) {
    boost::mutex::scoped_lock lock(mutex_);
    download_.set_current_file(name);
    ++download_revision_;
    schedule_notification();
}

void progress_t::file_done(std::uint32_t bytes) {
    boost::mutex::scoped_lock lock(mutex_);
    download_.set_files_processed(download_.files_processed() + 1);
    download_.set_bytes_processed(download_.bytes_processed() + bytes);
    download_.clear_current_file();
    ++download_revision_;
    schedule_notification();
}

void progress_t::add_sent(std::uint32_t n) {
    boost::mutex::scoped_lock lock(mutex_);
    stat_.set_bytes_sent(stat_.bytes_sent() + n);
}

void progress_t::add_received(std::uint32_t n) {
    boost::mutex::scoped_lock lock(mutex_);
    stat_.set_bytes_received(stat_.bytes_received() + n);
    received_ += n;
}

void progress_t::report_stat() {
    if (stat_.bytes_sent() == 0 && stat_.bytes_received() == 0) return;
    watcher_->on_stat(stat_);
    total_sent_ += stat_.bytes_sent();
    total_received_ += stat_.bytes_received();
    stat_.set_bytes_sent(0);
    stat_.set_bytes_received(0);
}

void progress_t::handle_stat_timer(const boost::system::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) throw boost::system::system_error(ec, "Stat timer");
    {
        boost::mutex::scoped_lock lock(mutex_);
        report_stat();
    }
    arm_timer();
}

void progress_t::flush_stat() {
    boost::system::error_code ec;
    timer_.cancel(ec);
    if (ec) throw boost::system::system_error(ec, "cancel");
    handle_stat_timer(boost::system::error_code());
}

std::uint32_t progress_t::total_sent() {
    boost::mutex::scoped_lock lock(mutex_);
    return total_sent_;
}

std::uint32_t progress_t::total_received() {
    boost::mutex::scoped_lock lock(mutex_);
    return total_received_;
}

std::uint64_t progress_t::received() {
    boost::mutex::scoped_lock lock(mutex_);
    return received_;
}

}  // namespace upd
