// One zone of an update run: its servers, its file list and the installed files it owns.
#pragma once

#include "engine/file_item.hpp"
#include "engine/mirrors.hpp"
#include "files/lst_file.hpp"
#include "files/patch_index.hpp"

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace upd {

class checker_t;
class downloader_t;

// A file of the zone's list failed at the server the list came from, which has since published a
// newer list: the mirror is sound, the run read the list just before a switch. Not a server's failure.
class list_republished_t : public std::runtime_error {
public:
    list_republished_t(const std::string& zone, const std::string& server, const std::string& stamp);
};

class zone_t {
public:
    // Chooses the custom DRL file when one exists and reads its servers (in an order drawn for this
    // run). `waits` and `proxied` as for mirrors_t.
    zone_t(const std::string& name, const boost::filesystem::path& drl_path,
           const boost::filesystem::path& custom_drl_path, const boost::filesystem::path& download_dir,
           std::shared_ptr<mirrors_t::waits_t> waits, bool proxied);

    // Fetches the file list from the first server that delivers a genuine one, packed form
    // preferred, asking the servers in turn (mirrors_t). A server whose list has a lower stamp than
    // `recorded` (the one last installed from, if any) is passed over: a lagging mirror or a
    // replayed old list never takes the zone back, and one whose list expired is a failure too;
    // when every list is expired, the newest is taken.
    void download_lst(downloader_t& downloader, const std::vector<std::string>& excluded,
                      const std::string& recorded = std::string());

    // Before a run's downloads, once the list is in: creates the download directory and removes
    // what earlier downloads left unfinished, when the list no longer names it or it is a week old.
    // A check never calls it: it leaves update_dir as it found it.
    void prepare_download_dir() const;

    // Maps the one listed file that the pattern names to `destination`.
    void add_file(const boost::filesystem::path& destination, const std::string& pattern);
    // Maps the listed files found in the zone's folder there, and those missing too; a zone has one.
    void add_directory(const boost::filesystem::path& directory);

    // The changed and missing files by their index in the list, the timestamp first, computed once per run.
    const std::vector<std::uint32_t>& changed_files(checker_t& checker);
    // What installing a listed file takes: where it goes, where it is downloaded, its size and digest.
    file_item_t item(std::uint32_t index) const;
    // Where a mapped (or missing) file goes, in two parts that are joined: the zone's folder and the
    // name, or a whole path and nothing.
    std::pair<std::string_view, std::string_view> destination(std::uint32_t index) const;

    // A file from `server` failed its digest or is missing: when `server` is the one the list came
    // from and now serves a genuine list of a higher stamp, throws list_republished_t; otherwise
    // returns, and the failure stays the server's.
    void check_republished(downloader_t& downloader, const std::string& server) const;

    mirrors_t& mirrors() { return *mirrors_; }
    // The patches the zone's server offers, asked for once (nothing when it has none or fails).
    void load_patch_index(downloader_t& downloader);
    const patch_index_t& patches() const { return patches_; }
    const std::string& name() const { return name_; }
    // Calls `f` with the index of every mapped file.
    void each_mapped(const std::function<void(std::uint32_t index)>& f) const;
    // Calls `f` with the index of every mapped file that changed_files found current.
    void each_kept(const std::function<void(std::uint32_t index)>& f) const;
    std::size_t kept_count() const;
    const std::set<std::string>& removed_files() const { return removals_; }
    const lst_file_t& lst() const { return lst_; }
    // Whether the zone goes on with an expired list, no server having one that has not expired.
    bool expired() const { return expired_; }

private:
    // The list `server` serves, packed form preferred, parsed and checked into `lst`; `asked`
    // follows the URL under way.
    static void read_list(downloader_t& downloader, const std::string& server, std::string& asked, lst_file_t& lst);

    std::string name_;
    boost::filesystem::path download_dir_;
    std::shared_ptr<mirrors_t> mirrors_;  // shared: a zone is moved, the lanes keep asking it
    patch_index_t patches_;
    lst_file_t lst_;
    // Per listed file: where it is installed, and whether changed_files found it changed.
    enum : std::uint8_t { in_folder = 1, elsewhere = 2, mapped = in_folder | elsewhere, changed = 4 };
    std::vector<std::uint8_t> state_;
    std::map<std::uint32_t, std::string> elsewhere_;  // the paths of files mapped one by one
    std::string folder_;                              // the zone's folder with its separator; "": none
    std::set<std::string> removals_;
    std::vector<std::string> excluded_;  // the configured exclusions
    std::vector<std::uint32_t> changed_;
    bool computed_ = false;
    bool expired_ = false;
};

}  // namespace upd
