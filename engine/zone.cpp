// One zone of an update run: its servers, its file list and the installed files it owns.
#include "engine/zone.hpp"

#include "files/checker.hpp"
#include "files/drl_file.hpp"
#include "files/lzma_decompress.hpp"
#include "framework/cf_log.hpp"
#include "framework/cf_proto_exception.hpp"
#include "framework/error_code.hpp"
#include "net/downloader.hpp"
#include "net/url.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace upd {

namespace {

template <class Bytes>
std::string as_string(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// "A file exists there": a regular file that can be read; a directory or an unreadable path does not count.
bool usable_file(const fs::path& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

bool packed_list_unusable(const boost::system::error_code& ec) {
    // A packed list cut at the body limit can never unpack; it counts as a bad container.
    return ec == tvk::make_error_code(tvk::EC_NO_SUCH_ENTRY) ||
           ec == tvk::make_error_code(tvk::EC_BAD_LZMA_FILE) ||
           ec == tvk::make_error_code(tvk::EC_LIMIT_REACHED);
}

}  // namespace

zone_t::zone_t(const fs::path& drl_path, const fs::path& custom_drl_path, const fs::path& download_dir)
    : download_dir_(download_dir) {
    const fs::path& drl = usable_file(custom_drl_path) ? custom_drl_path : drl_path;
    if (drl.empty()) throw std::logic_error("No DRL-file found");
    drl_file_t file;
    file.load(drl);
    servers_ = file.shuffled_urls();
    std::reverse(servers_.begin(), servers_.end());  // the last is asked first
    if (!fs::exists(download_dir_)) fs::create_directory(download_dir_);
}

void zone_t::download_lst(downloader_t& downloader, const std::vector<std::string>& excluded, const std::string& name,
                          const std::string& recorded) {
    std::vector<char> text;
    bool found = false;
    bool only_407 = !servers_.empty();  // every server asked for proxy credentials
    while (!servers_.empty() && !found) {
        const std::string& server = servers_.back();
        try {
            try {
                std::vector<char> packed = downloader.get_as_buffer(url_t(server, "version.lst.lzma"));
                LOG_DEBUG("Downloaded version.lst.lzma (" << packed.size() << " bytes)");
                text = lzma_decompress(packed.data(), packed.data() + packed.size());  // moved, not copied
            } catch (const std::exception& e) {
                if (!packed_list_unusable(error_code_of(e))) throw;
                text = downloader.get_as_buffer(url_t(server, "version.lst"));
                LOG_DEBUG("Downloaded version.lst (" << text.size() << " bytes)");
            }
            found = true;
        } catch (const std::exception& e) {
            LOG_DEBUG("Download LST: " << exception_text(e));
            // A proxy that refuses the credentials refuses them for every server; without a
            // proxy, a 407 is only that server's answer, and the next one is asked.
            const bool proxy_auth = error_code_of(e) == tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR);
            if (proxy_auth && downloader.connection().through_proxy()) throw;
            only_407 = only_407 && proxy_auth;
            servers_.pop_back();
            continue;
        }
        lst_.parse(text.data(), text.data() + text.size());  // a list that fails here fails the zone
        if (stamp_less(lst_.stamp(), recorded)) {
            LOG_WARNING("Zone " << name << ": " << server << " offers an older file list (" << lst_.stamp() << " < "
                                << recorded << ")");
            servers_.pop_back();
            found = false;
            only_407 = false;
        }
    }
    if (!found) throw boost::system::system_error(tvk::make_error_code(only_407 ? tvk::EC_PROXY_AUTH_ERROR : tvk::EC_NO_UPDATE_SERVERS));
    lst_.apply_excludes(excluded);
    excluded_ = excluded;
}

void zone_t::add_file(const fs::path& destination, const std::string& pattern) {
    std::vector<std::string> matches = lst_.names_matching(pattern);
    if (matches.empty()) {
        LOG_DEBUG("Cannot find file by pattern: " << pattern);
        return;
    }
    if (matches.size() > 1) {
        LOG_DEBUG("Too many matched files on server: pattern: " << pattern);
        throw cf_proto_exception_t(tvk::EC_LIMIT_REACHED, "Too many matched files on server");
    }
    map_[matches.front()] = destination.string();
}

void zone_t::add_directory(const fs::path& directory) {
    for (fs::directory_iterator it(directory), end; it != end; ++it) {
        const fs::path p = it->path();
        boost::system::error_code ec;
        if (!fs::is_regular_file(fs::status(p, ec))) continue;
        const std::string name = p.filename().string();
        auto mapped = map_.find(name);
        if (mapped != map_.end()) {
            if (mapped->second != p.string()) removals_.insert(p.string());
        } else if (lst_.contains(name)) {
            map_[name] = p.string();
        } else if (lst_.matches_patterns(name) && !matches_any(excluded_, name)) {
            // Excluding a file means "leave my copy alone": never removed, whatever the list says.
            removals_.insert(p.string());
        } else {
            LOG_DEBUG("Skip " << p);
        }
    }
    main_dir_ = directory;
}

std::vector<file_item_t> zone_t::changed_files(checker_t& checker) {
    if (computed_) return changed_;
    for (const std::string& name : lst_.names()) {
        file_item_t item;
        auto mapped = map_.find(name);
        if (mapped == map_.end()) {
            if (main_dir_.empty()) continue;
            item.destination = (main_dir_ / name).string();
            LOG_DEBUG("Missed " << fs::path(item.destination));
        } else {
            // A missing file is never current, even against a listed digest that decodes to nothing.
            const std::string actual = checker.sha256(mapped->second);
            if (!actual.empty() && actual == as_string(lst_.digest_of(name))) continue;
            item.destination = mapped->second;
            LOG_DEBUG("Changed " << fs::path(item.destination));
        }
        item.source = (download_dir_ / name).string();
        item.size = lst_.size_of(name);
        item.sha256 = as_string(lst_.digest_of(name));
        if (name == "timestamp") {
            changed_.insert(changed_.begin(), item);
        } else {
            changed_.push_back(item);
        }
    }
    computed_ = true;
    return changed_;
}

const std::string& zone_t::server() const {
    static const std::string none;
    return servers_.empty() ? none : servers_.back();
}

std::vector<fs::path> zone_t::destinations() const {
    std::vector<fs::path> result;
    result.reserve(map_.size());
    for (const auto& entry : map_) result.emplace_back(entry.second);
    return result;
}

std::set<std::string> zone_t::kept_files() const {
    std::set<std::string> result;
    for (const auto& entry : map_) result.insert(entry.second);
    for (const file_item_t& item : changed_) result.erase(item.destination);
    return result;
}

std::set<std::string> zone_t::removed_files() const { return removals_; }

}  // namespace upd
