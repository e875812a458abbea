// What one update run hands to the daemon: the files to place, to remove and found up to date.
#include "engine/run_plan.hpp"

#include <algorithm>

namespace upd {

void run_plan_t::reset(std::vector<zone_t> zones) {
    zones_ = std::move(zones);
    to_place_.clear(), up_to_date_.clear(), extra_.clear(), to_remove_.clear();
}

void run_plan_t::collect_up_to_date() {
    up_to_date_.clear();
    for (std::uint32_t z = 0; z < zones_.size(); ++z)
        zones_[z].each_kept([&](std::uint32_t index) { up_to_date_.emplace_back(z, index); });
    // Each zone's folder holds its files in name order, so the sort mostly finds runs in order.
    const auto less = [this](const auto& a, const auto& b) {
        return compare_joined(destination(a), destination(b)) < 0;
    };
    std::sort(up_to_date_.begin(), up_to_date_.end(), less);
    up_to_date_.erase(
        std::unique(up_to_date_.begin(), up_to_date_.end(), [&](const auto& a, const auto& b) { return !less(a, b); }),
        up_to_date_.end());
    up_to_date_.shrink_to_fit();
}

void run_plan_t::each_to_place(const place_t& f) const {
    for (const auto& p : to_place_) {
        const file_item_t item = zones_[p.first].item(p.second);
        f(item.destination, item.source);
    }
    for (const file_item_t& item : extra_) f(item.destination, item.source);
}

void run_plan_t::each_to_remove(const path_t& f) const {
    for (const std::string& path : to_remove_) f(path);
}

void run_plan_t::each_up_to_date(const path_t& f) const {
    std::string path;
    for (const auto& u : up_to_date_) {
        const auto to = destination(u);
        path.assign(to.first).append(to.second);
        f(path);
    }
}

int run_plan_t::compare_joined(std::pair<std::string_view, std::string_view> a,
                               std::pair<std::string_view, std::string_view> b) {
    for (;;) {
        if (a.first.empty()) {
            if (a.second.empty()) return b.first.empty() && b.second.empty() ? 0 : -1;
            a = {a.second, std::string_view()};
        }
        if (b.first.empty()) {
            if (b.second.empty()) return 1;
            b = {b.second, std::string_view()};
        }
        const std::size_t n = std::min(a.first.size(), b.first.size());
        const int r = a.first.substr(0, n).compare(b.first.substr(0, n));
        if (r != 0) return r < 0 ? -1 : 1;
        a.first.remove_prefix(n), b.first.remove_prefix(n);
    }
}

}  // namespace upd
