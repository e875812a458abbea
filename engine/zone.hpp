// One zone of an update run: its servers, its file list and the installed files it owns.
#pragma once

#include "engine/file_item.hpp"
#include "files/lst_file.hpp"

#include <boost/filesystem/path.hpp>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace upd {

class checker_t;
class downloader_t;

class zone_t {
public:
    // Chooses the custom DRL file when one exists, reads its servers, creates the download directory.
    zone_t(const boost::filesystem::path& drl_path, const boost::filesystem::path& custom_drl_path,
           const boost::filesystem::path& download_dir);

    // Fetches the file list from the first server that delivers it, packed form preferred. A
    // server whose list has a lower stamp than `recorded` (the one last installed from, if any)
    // counts as one without a list: a lagging mirror or a replayed old list never takes the zone back.
    void download_lst(downloader_t& downloader, const std::vector<std::string>& excluded,
                      const std::string& name = std::string(), const std::string& recorded = std::string());

    void add_file(const boost::filesystem::path& destination, const std::string& pattern);
    void add_directory(const boost::filesystem::path& directory);

    // The changed and missing files, computed once per run.
    std::vector<file_item_t> changed_files(checker_t& checker);

    const std::string& server() const;
    std::vector<boost::filesystem::path> destinations() const;
    std::set<std::string> kept_files() const;
    std::set<std::string> removed_files() const;
    const boost::filesystem::path& download_directory() const { return download_dir_; }
    const lst_file_t& lst() const { return lst_; }

private:
    boost::filesystem::path download_dir_;
    std::vector<std::string> servers_;
    lst_file_t lst_;
    boost::filesystem::path main_dir_;
    std::map<std::string, std::string> map_;
    std::set<std::string> removals_;
    std::vector<std::string> excluded_;  // the configured exclusions
    std::vector<file_item_t> changed_;
    bool computed_ = false;
};

}  // namespace upd
