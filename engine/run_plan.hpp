// What one update run hands to the daemon: the files to place, to remove and found up to date.
#pragma once

#include "control/install_plan.hpp"
#include "engine/file_item.hpp"
#include "engine/zone.hpp"

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace upd {

// Keeps the run's zones and names their files by (zone, index in its list): the request names
// every installed file, and a copy of each path would cost more than the whole list.
class run_plan_t : public install_plan_t {
public:
    // Starts over with these zones: nothing to place, remove or keep.
    void reset(std::vector<zone_t> zones);
    std::vector<zone_t>& zones() { return zones_; }

    // A zone's changed file, placed in the order of the calls.
    void place(std::uint32_t zone, std::uint32_t index) { to_place_.emplace_back(zone, index); }
    // A file that no zone's list names (the fallback's), placed after the zones' files.
    void place(file_item_t item) { extra_.push_back(std::move(item)); }
    void remove(const std::set<std::string>& paths) { to_remove_.insert(paths.begin(), paths.end()); }
    // Takes the files that the zones found current: in path order, each path once.
    void collect_up_to_date();
    std::size_t to_place_count() const { return to_place_.size() + extra_.size(); }

    void each_to_place(const place_t& f) const override;
    void each_to_remove(const path_t& f) const override;
    void each_up_to_date(const path_t& f) const override;

    // -1, 0 or 1 as the joined strings a.first + a.second and b.first + b.second compare.
    static int compare_joined(std::pair<std::string_view, std::string_view> a,
                              std::pair<std::string_view, std::string_view> b);

private:
    std::pair<std::string_view, std::string_view> destination(const std::pair<std::uint32_t, std::uint32_t>& f) const {
        return zones_[f.first].destination(f.second);
    }

    std::vector<zone_t> zones_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> to_place_, up_to_date_;  // (zone, index)
    std::vector<file_item_t> extra_;
    std::set<std::string> to_remove_;
};

}  // namespace upd
