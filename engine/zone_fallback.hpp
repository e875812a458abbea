// A zone's fallback: fresh DRL files fetched from the servers its signed zone.ini names.
#pragma once

#include "engine/file_item.hpp"
#include "engine/mirrors.hpp"
#include "engine/run_settings.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/filesystem/path.hpp>

#include <memory>
#include <string>
#include <vector>

namespace upd {

class zone_fallback_t {
public:
    // Reads the installed zone.ini at once and creates the download directory.
    zone_fallback_t(const std::string& name, const boost::filesystem::path& zone_ini,
                    const boost::filesystem::path& drl_path, const boost::filesystem::path& download_dir);

    // Fetches and verifies a fresh DRL file from the fallback servers in turn, as a zone's own
    // servers are asked (`waits` as for mirrors_t), over a downloader of its own whose bytes no
    // statistics count; the item replaces the configured one. EC_NO_UPDATE_SERVERS when none gives
    // a valid list.
    file_item_t download(const run_settings_t& settings, boost::asio::io_service& io_service,
                         std::shared_ptr<mirrors_t::waits_t> waits) const;

    const std::string& name() const { return name_; }

private:
    std::string name_;
    boost::filesystem::path drl_path_;
    boost::filesystem::path drl_copy_path_;
    std::vector<std::string> urls_;
};

}  // namespace upd
