// Download throughput driver: fetches one URL to a file with the downloader and prints the time.
#include "control/progress.hpp"
#include "engine/progress_counter.hpp"
#include "framework/cf_log.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/error_code.hpp"
#include "net/downloader.hpp"

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

class silent_watcher_t : public upd::progress_watcher_t {
public:
    void on_check_progress(const tvk::UpdateCheckProgress&) override {}
    void on_download_progress(const tvk::UpdateDownloadProgress&) override {}
    void on_stat(const tvk::UpdateAppStat&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    cf_log_t::level_ = cf_log_t::warning;
    if (argc != 3) {
        std::cerr << "usage: download_driver URL OUTPUT\n";
        return 2;
    }
    boost::asio::io_service io_service;
    boost::asio::io_service progress_service;
    silent_watcher_t watcher;
    upd::progress_t progress(progress_service, &watcher);
    upd::progress_counter_t counter(progress);
    upd::downloader_t downloader(io_service, counter);
    downloader.set_timeout(std::chrono::seconds(30));
    tvk::Proxy proxy;
    proxy.set_type(tvk::Proxy::PROXY_TYPE_NONE);
    downloader.set_proxy(proxy);
    try {
        const auto started = std::chrono::steady_clock::now();
        downloader.get_to_file(upd::url_t(argv[1]), boost::filesystem::path(argv[2]));
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
        progress.flush_stat();
        std::printf("%.6f %u\n", elapsed.count(), progress.total_received());
    } catch (const std::exception& e) {
        std::cerr << "download failed: " << exception_text(e) << "\n";
        return 1;
    } catch (const cf_outcome_t& outcome) {
        std::cerr << "download failed: " << outcome.text() << "\n";
        return 1;
    }
    return 0;
}
