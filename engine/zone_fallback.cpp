// A zone's fallback: fresh DRL files fetched from the servers its signed zone.ini names.
#include "engine/zone_fallback.hpp"

#include "files/drl_file.hpp"
#include "files/ini.hpp"
#include "framework/error_code.hpp"
#include "net/downloader.hpp"
#include "net/url.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include <fcntl.h>

namespace fs = boost::filesystem;

namespace upd {

namespace {

// The fallback's bytes go into no statistics.
class uncounted_t final : public byte_counter_t {
public:
    void add_sent(std::uint32_t) override {}
    void add_received(std::uint32_t) override {}
};

}  // namespace

zone_fallback_t::zone_fallback_t(const std::string& name, const fs::path& zone_ini, const fs::path& drl_path,
                                 const fs::path& download_dir)
    : name_(name), drl_path_(drl_path), drl_copy_path_(download_dir / drl_path.filename()) {
    urls_ = ini::get_file(zone_ini, origin_t::installed);
    if (!fs::exists(download_dir)) fs::create_directory(download_dir);
}

file_item_t zone_fallback_t::download(const run_settings_t& settings, boost::asio::io_service& io_service,
                                      std::shared_ptr<mirrors_t::waits_t> waits) const {
    uncounted_t uncounted;
    downloader_t downloader(io_service, uncounted);
    settings.configure(downloader);
    const std::string name = drl_path_.filename().string();
    mirrors_t mirrors(name_, drl_file_t::shuffled(urls_), std::move(waits), settings.proxied());
    mirrors_t::round_t round;
    const bool served = mirrors.ask_in_turn(
        [&](const std::string& server, std::string& asked) {
            try {
                const url_t url(server, name);
                asked = url.to_string();
                downloader.get_to_file(url, drl_copy_path_, drl_file_t::max_size);
                drl_file_t verified;
                verified.load(drl_copy_path_, origin_t::fallback, O_NOFOLLOW);
            } catch (...) {
                // A copy that failed verification must not stay where an installer could pick it up.
                boost::system::error_code ignored;
                fs::remove(drl_copy_path_, ignored);
                throw;
            }
        },
        round);
    // Whichever way the servers failed, the fallback has none.
    if (!served) throw boost::system::system_error(tvk::make_error_code(tvk::EC_NO_UPDATE_SERVERS));

    file_item_t item;
    item.destination = drl_path_.string();
    item.source = drl_copy_path_.string();
    item.compute_digest();
    return item;
}

}  // namespace upd
