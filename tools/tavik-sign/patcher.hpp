// The patches of make-zone: from the earlier versions of the zone's files to this run's, and their index.
#pragma once

#include "tools/tavik-sign/published.hpp"

#include "files/lst_file.hpp"

#include <boost/filesystem/path.hpp>

namespace sign {

// Patches go to patches/ below the new tree under the names patch_index_t gives them; each is
// recorded as published.
class patcher_t {
public:
    patcher_t(const boost::filesystem::path& out, const std::vector<std::string>& previous, published_t& published)
        : out_(out), previous_(previous), published_(published) {}

    // Whether a --previous folder holds a file of that name, whose new bytes make() then needs.
    bool wanted(const std::string& name) const;
    // A patch to `target`, the bytes of the file `name` that `entry` lists, from each distinct
    // earlier version, when it is below half of the listed size: clients take no larger one (a
    // patch as large as the file would cost them it twice over, and the whole file comes anyway).
    void make(const std::string& name, const upd::lst_file_t::entry_t& entry, const std::string& target);
    // Writes the index, sorted, even without a patch (clients ask for it in every run, and a missing
    // one fills the servers' logs with 404s); returns the number of its lines.
    std::size_t write_index() const;

private:
    const boost::filesystem::path out_;
    const std::vector<std::string>& previous_;
    published_t& published_;
    std::map<std::string, std::size_t> tried_;  // patch name: its length when written, 0 when not
    std::set<std::string> lines_;
};

}  // namespace sign
