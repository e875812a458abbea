// The record of what make-zone published in its output folder, and the removal of what it no longer publishes.
#pragma once

#include <set>
#include <string>

namespace sign {

// The files a run publishes in the output folder, by names relative to it ('/' between folders).
// The record file there keeps the names, so that the next run removes what it publishes no more,
// and never a file that it did not publish. Whatever a run may write is added before it is.
class published_t {
public:
    static const char record_name[];  // ".published"

    // The stamp of the list the folder holds; empty when it holds none that can be read.
    static std::string last_stamp(const std::string& out);

    explicit published_t(std::string out);  // reads the last run's record; throws when unreadable
    void add(const std::string& name);  // std::invalid_argument for one leading out of the folder
    bool has(const std::string& name) const { return names_.count(name) > 0; }
    // Records the last run's names with this run's, before any file of this run is written: a
    // run cut short leaves nothing that the next one would not know of.
    void save_pending() const;
    // Removes what the last run published and this one does not (a file that cannot be removed
    // stays in the record, with a warning), and records this run's names.
    void finish() const;

private:
    void save(const std::set<std::string>& names) const;

    std::string out_;
    std::set<std::string> last_, names_;
};

}  // namespace sign
