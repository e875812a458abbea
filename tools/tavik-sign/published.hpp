// The record of what make-zone published in its output folder, and the removal of what it no longer publishes.
#pragma once

#include "tools/tavik-sign/signing_keys.hpp"

#include "framework/fd_guard.hpp"

#include <set>
#include <string>

namespace sign {

// The files a run publishes in the output folder, by names relative to it ('/' between folders).
// The record file there keeps the names, so that the next run removes what it publishes no more,
// and never a file that it did not publish. Whatever a run may write is added before it is.
// Anyone who can write the folder can write the record: a name in it is removed only when it is
// one make-zone publishes (see finish()), and the folder is reached once, below it nothing is
// followed.
class published_t {
public:
    static const char record_name[];  // ".published"

    // The stamp of the list the folder holds; empty when it holds none that can be read.
    static std::string last_stamp(const std::string& out);

    // Reads the last run's record, and what the tree holds before the run changes it: the names
    // its version.lst lists when that verifies under `keys`, and its update.drl. Throws when the
    // record cannot be read.
    published_t(std::string out, const signing_keys_t& keys);
    void add(const std::string& name);  // std::invalid_argument for one leading out of the folder
    bool has(const std::string& name) const { return names_.count(name) > 0; }
    // Records the last run's names with this run's, before any file of this run is written: a
    // run cut short leaves nothing that the next one would not know of.
    void save_pending() const;
    // Removes what the last run published and this one does not, when it is a file make-zone
    // publishes: a name the tree's previous list listed or its packed form, version.lst and its
    // packed form, patches/OLD-NEW.zst and patches/index, a copy of update.drl; of folders, only
    // patches once empty. Any other name is left alone with a message; a file that cannot be
    // removed stays in the record, with a warning. Records this run's names.
    void finish() const;

private:
    void save(const std::set<std::string>& names) const;
    bool publishes(const std::string& name) const;
    std::string read_at(const std::string& name) const;  // "" when it cannot be read

    std::string out_;
    fd_guard_t dir_;  // the output folder, opened once
    std::set<std::string> last_, names_, listed_;
    std::string drl_;  // the tree's update.drl before the run
};

}  // namespace sign
