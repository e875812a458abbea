// A zone's fallback: fresh DRL files fetched from the servers its signed zone.ini names.
#include "engine/zone_fallback.hpp"

#include "control/progress.hpp"
#include "engine/progress_counter.hpp"
#include "engine/updater.hpp"
#include "files/drl_file.hpp"
#include "files/ini.hpp"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "net/downloader.hpp"
#include "net/url.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include <cstdlib>
#include <fcntl.h>
#include <utility>

namespace fs = boost::filesystem;

namespace upd {

namespace {

class watcher_t : public progress_watcher_t {
public:
    void on_check_progress(const tvk::UpdateCheckProgress&) override {}
    void on_download_progress(const tvk::UpdateDownloadProgress&) override {}
    void on_stat(const tvk::UpdateAppStat&) override {}
};

// A DRL file is refused above this size, so a longer download is cut there.
const std::uint64_t drl_size_limit = 1048576;

}  // namespace

zone_fallback_t::zone_fallback_t(const std::string& name, const fs::path& zone_ini, const fs::path& drl_path,
                                 const fs::path& download_dir)
    : name_(name), drl_path_(drl_path), drl_copy_path_(download_dir / drl_path.filename()) {
    urls_ = ini::get_file(zone_ini);
    if (!fs::exists(download_dir)) fs::create_directory(download_dir);
}

file_item_t zone_fallback_t::download(const tvk::UpdateConfig& config, boost::asio::io_service& io_service) const {
    watcher_t watcher;
    progress_t progress(io_service, &watcher);
    progress_counter_t counter(progress);
    downloader_t downloader(io_service, counter);
    updater_t::configure(downloader, config);

    const std::string name = drl_path_.filename().string();
    std::vector<std::string> urls = urls_;
    for (std::size_t i = 1; i < urls.size(); ++i) {
        std::swap(urls[i], urls[static_cast<std::size_t>(std::rand()) % (i + 1)]);
    }
    bool done = false;
    while (!urls.empty() && !done) {
        const std::string& base = urls.back();
        const std::string text = (!base.empty() && base.back() == '/') ? base + name : base + "/" + name;
        try {
            downloader.get_to_file(url_t(text), drl_copy_path_, drl_size_limit);
            drl_file_t verified;
            verified.load(drl_copy_path_, O_NOFOLLOW);
            done = true;
        } catch (const std::exception& e) {
            LOG_DEBUG("Download " << drl_copy_path_.filename().string() << ": " << exception_text(e));
            // A copy that failed verification must not stay where an installer could pick it up.
            boost::system::error_code ignored;
            fs::remove(drl_copy_path_, ignored);
            urls.pop_back();
        }
    }
    if (!done) throw boost::system::system_error(tvk::make_error_code(tvk::EC_NO_UPDATE_SERVERS));

    file_item_t item;
    item.destination = drl_path_.string();
    item.source = drl_copy_path_.string();
    item.compute_digest();
    return item;
}

}  // namespace upd
