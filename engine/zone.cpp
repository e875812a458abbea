// One zone of an update run: its servers, its file list and the installed files it owns.
#include "engine/zone.hpp"

#include "engine/packed_form.hpp"
#include "files/checker.hpp"
#include "files/drl_file.hpp"
#include "files/lzma_decompress.hpp"
#include "files/mirror_tree.hpp"
#include "framework/cf_log.hpp"
#include "framework/cf_proto_exception.hpp"
#include "framework/error_code.hpp"
#include "framework/utc_time.hpp"
#include "framework/work_folder.hpp"
#include "net/downloader.hpp"
#include "net/url.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace upd {

namespace {

// "A file exists there": a regular file that can be read; a directory or an unreadable path does not count.
bool usable_file(const fs::path& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

// A plain file, or a link to one, as stat says; the listing's own type spares the stat of a plain file.
bool regular_entry(const dirent& entry, const fs::path& path, boost::system::error_code& ec) {
#if defined(DT_REG) && defined(DT_UNKNOWN) && defined(DT_LNK)
    if (entry.d_type == DT_REG) return true;
    if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) return false;
#else
    (void)entry;
#endif
    return fs::is_regular_file(fs::status(path, ec));
}

}  // namespace

zone_t::zone_t(const std::string& name, const fs::path& drl_path, const fs::path& custom_drl_path,
               const fs::path& download_dir, std::shared_ptr<mirrors_t::waits_t> waits, bool proxied)
    : name_(name), download_dir_(download_dir) {
    const fs::path& drl = usable_file(custom_drl_path) ? custom_drl_path : drl_path;
    if (drl.empty()) throw std::logic_error("No DRL-file found");
    drl_file_t file;
    file.load(drl, origin_t::installed);
    mirrors_ = std::make_shared<mirrors_t>(name, file.shuffled_urls(), std::move(waits), proxied);
}

void zone_t::download_lst(downloader_t& downloader, const std::vector<std::string>& excluded,
                          const std::string& recorded) {
    list_choice_t choice(list_trust_t::built_in(), name_, recorded, utc_now());
    mirrors_t::round_t round;
    const bool fresh = mirrors_->ask_in_turn(
        [&](const std::string& server, std::string& asked) {
            // A list that fails its check is that server's: the next one's is checked as strictly.
            read_list(downloader, server, asked, lst_);
            const verdict_t verdict = choice.offer(server, lst_);
            if (verdict.reason == distrust_t::older) throw passed_over_t(verdict.detail);
            // An expired list may yet be taken; one of another zone, or short of what a strict build
            // requires, is as good as a damaged one.
            const tvk::ErrorCode code =
                verdict.reason == distrust_t::expired ? tvk::EC_UPDATE_EXPIRED : tvk::EC_BAD_LST_FILE;
            if (!verdict) throw server_failure_t(code, error_code_text(code), verdict.detail);
            mirrors_->took_list(server);
        },
        round);
    std::string server;
    if (!fresh && !choice.take_newest_expired(lst_, server)) round.fail();
    if (!fresh) {
        // Authentic, and no older than what is installed: refusing it would leave the machine older
        // still. The run says so in its status (95) once installed.
        expired_ = true;
        mirrors_->took_list(server);
        LOG_WARNING("Zone " << name_ << ": no server has a list that has not expired; the newest, stamp "
                            << lst_.stamp() << " of " << server << ", expired on " << utc_minute(lst_.expires_at()));
    }
    lst_.apply_excludes(excluded);
    excluded_ = excluded;
}

void zone_t::read_list(downloader_t& downloader, const std::string& server, std::string& asked, lst_file_t& lst) {
    try {
        const std::vector<char> text = packed_form::or_plain(
            [&] {
                const url_t packed_url(server, mirror_tree::packed_list);
                asked = packed_url.to_string();
                const std::vector<char> packed = downloader.get_as_buffer(packed_url);
                LOG_DEBUG("Downloaded " << mirror_tree::packed_list << " (" << packed.size() << " bytes)");
                return lzma_decompress(packed.data(), packed.data() + packed.size());
            },
            [&] {
                const url_t plain_url(server, mirror_tree::list);
                asked = plain_url.to_string();
                std::vector<char> plain = downloader.get_as_buffer(plain_url);
                LOG_DEBUG("Downloaded " << mirror_tree::list << " (" << plain.size() << " bytes)");
                return plain;
            });
        lst.parse(text.data(), text.data() + text.size(), origin_t::server);
    } catch (const std::exception& e) {
        LOG_DEBUG("Download LST: " << exception_text(e));
        throw;
    }
}

void zone_t::check_republished(downloader_t& downloader, const std::string& server) const {
    if (server != mirrors_->list_server()) return;
    lst_file_t now;
    try {
        std::string asked;
        read_list(downloader, server, asked, now);
    } catch (const std::exception&) {
        return;  // nothing to show it moved on: the failure stays the server's
    }
    if (list_trust_t::stamp_less(lst_.stamp(), now.stamp())) throw list_republished_t(name_, server, now.stamp());
}

list_republished_t::list_republished_t(const std::string& zone, const std::string& server, const std::string& stamp)
    : std::runtime_error("Zone " + zone + ": " + server + " published a newer file list (stamp " + stamp +
                         ") during the run") {}

void zone_t::load_patch_index(downloader_t& downloader) {
    try {
        const std::vector<char> text =
            downloader.get_as_buffer(url_t(mirrors_->list_server(), mirror_tree::patch_index), patch_index_t::max_size);
        patches_.parse(text.data(), text.data() + text.size(), lst_);
        LOG_DEBUG("Zone " << name_ << ": " << patches_.size() << " patches offered");
    } catch (const std::exception& e) {
        // A server without patches, or with a broken index, serves whole files as ever.
        LOG_DEBUG("Zone " << name_ << ": no patches: " << exception_text(e));
    }
}

void zone_t::prepare_download_dir() const {
    if (!fs::exists(download_dir_)) fs::create_directory(download_dir_);
    const std::time_t week_ago = std::time(nullptr) - 7 * 24 * 3600;
    boost::system::error_code ec;
    for (fs::directory_iterator it(download_dir_, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!boost::algorithm::ends_with(name, work_folder::part_suffix)) continue;
        name.resize(name.size() - std::strlen(work_folder::part_suffix));
        for (const char* form : {work_folder::packed_suffix, work_folder::patch_suffix})
            if (boost::algorithm::ends_with(name, form)) name.resize(name.size() - std::strlen(form));
        struct stat st;
        if (::lstat(it->path().c_str(), &st) == 0 && (!lst_.contains(name) || st.st_mtime < week_ago)) {
            LOG_DEBUG("Removed " << it->path());
            ::unlink(it->path().c_str());
        }
    }
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
    const auto index = static_cast<std::uint32_t>(lst_.find(matches.front()));
    state_.resize(lst_.count());
    state_[index] = elsewhere;
    elsewhere_[index] = destination.string();
}

void zone_t::add_directory(const fs::path& directory) {
    if (!folder_.empty()) throw std::logic_error("A zone has one folder");
    state_.resize(lst_.count());
    // Joined as the path type joins a folder and a name.
    folder_ = (directory / "x").string();
    folder_.pop_back();
    // readdir's entry types spare a stat per plain file, which a large folder feels on every run;
    // failures read as those of the path type's folder iterator, as they always did.
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir) throw fs::filesystem_error("boost::filesystem::directory_iterator::construct", directory, last_errno());
    for (errno = 0; const dirent* entry = ::readdir(dir.get()); errno = 0) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const fs::path p = directory / name;
        boost::system::error_code ec;
        if (!regular_entry(*entry, p, ec)) continue;
        const std::size_t index = lst_.find(name);
        if (index != lst_file_t::npos && state_[index] == elsewhere) {
            if (elsewhere_[static_cast<std::uint32_t>(index)] != p.string()) removals_.insert(p.string());
        } else if (index != lst_file_t::npos) {
            state_[index] = in_folder;
        } else if (lst_.matches_patterns(name) && !matches_any(excluded_, name)) {
            // Excluding a file means "leave my copy alone": never removed, whatever the list says.
            removals_.insert(p.string());
        } else {
            LOG_DEBUG("Skip " << p);
        }
    }
    if (errno) throw fs::filesystem_error("boost::filesystem::directory_iterator::operator++", directory, last_errno());
}

std::pair<std::string_view, std::string_view> zone_t::destination(std::uint32_t index) const {
    if (state_[index] & elsewhere) return {elsewhere_.at(index), std::string_view()};
    return {folder_, lst_.name(index)};
}

file_item_t zone_t::item(std::uint32_t index) const {
    file_item_t item;
    const auto to = destination(index);
    item.destination.assign(to.first).append(to.second);
    item.source = (download_dir_ / std::string(lst_.name(index))).string();
    item.size = lst_.size(index);
    item.sha256 = std::string(lst_.digest(index));
    item.packed = lst_.packed(index) && !lst_file_t::is_timestamp(std::string(lst_.name(index)));
    return item;
}

const std::vector<std::uint32_t>& zone_t::changed_files(checker_t& checker) {
    if (computed_) return changed_;
    state_.resize(lst_.count());
    // The folder's files in name order are in path order too: one walk beside the cache.
    checker_t::walk_t walk;
    std::string path;
    for (std::uint32_t i = 0; i < state_.size(); ++i) {
        const auto to = destination(i);
        path.assign(to.first).append(to.second);
        if (!(state_[i] & mapped)) {
            if (folder_.empty()) continue;
            LOG_DEBUG("Missed " << fs::path(path));
        } else {
            // A missing file is never current, even against a listed digest that decodes to nothing.
            const std::string actual = checker.sha256(path, walk);
            if (!actual.empty() && actual == lst_.digest(i)) continue;
            LOG_DEBUG("Changed " << fs::path(path));
        }
        state_[i] |= changed;
        if (lst_file_t::is_timestamp(std::string(lst_.name(i)))) {
            changed_.insert(changed_.begin(), i);
        } else {
            changed_.push_back(i);
        }
    }
    computed_ = true;
    return changed_;
}

void zone_t::each_mapped(const std::function<void(std::uint32_t index)>& f) const {
    for (std::uint32_t i = 0; i < state_.size(); ++i)
        if (state_[i] & mapped) f(i);
}

void zone_t::each_kept(const std::function<void(std::uint32_t index)>& f) const {
    for (std::uint32_t i = 0; i < state_.size(); ++i)
        if ((state_[i] & mapped) && !(state_[i] & changed)) f(i);
}

std::size_t zone_t::kept_count() const {
    return static_cast<std::size_t>(
        std::count_if(state_.begin(), state_.end(), [](std::uint8_t s) { return (s & mapped) && !(s & changed); }));
}

}  // namespace upd
