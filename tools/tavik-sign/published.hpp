// The record of what make-zone published, and what of the tree before a run was make-zone's.
#pragma once

#include "tools/tavik-sign/signing_keys.hpp"

#include "framework/fd_guard.hpp"

#include <set>
#include <string>

namespace sign {

// The files a run publishes, by names relative to the tree ('/' between folders), kept in the
// record file of the tree it writes; and the rule that tells make-zone's files in the tree before
// the run from the rest, which the new tree carries over. Whatever a run may write is added before
// it is.
class published_t {
public:
    static const char record_name[];  // ".published"

    // The stamp of the list the folder holds; empty when it holds none that can be read.
    static std::string last_stamp(const std::string& out);

    // Reads what the tree at `out` holds before the run (none when it is missing): the names its
    // version.lst lists when that verifies under `keys`, and its update.drl. The folder is opened
    // once; below it nothing is followed.
    published_t(const std::string& out, const signing_keys_t& keys);
    void add(const std::string& name) { names_.insert(name); }
    bool has(const std::string& name) const { return names_.count(name) > 0; }
    // How the keys given differ from those that signed the tree's list (nothing without a list).
    struct key_change_t {
        bool dsa = false;      // its DSA signature does not verify under the DSA key
        bool ed25519 = false;  // it carries Ed25519 parts, none of them by one of the Ed25519 keys
        std::string keyids;    // the KEYIDs of its parts ("none" for none)
    };
    const key_change_t& key_change() const { return change_; }
    // Whether make-zone publishes the file `name` of the tree before the run: a name that the tree's
    // list listed or its packed form, version.lst and its packed form, patches/OLD-NEW.zst and
    // patches/index, a copy of update.drl, and the record.
    bool publishes(const std::string& name) const;
    // Writes the record of the names added at `path`.
    void save(const std::string& path) const;

private:
    std::string read_at(const std::string& name,
                        std::size_t max = 64 << 20) const;  // "" when it cannot be read or is larger

    fd_guard_t dir_;  // the tree before the run
    std::set<std::string> names_, listed_;
    std::string drl_;  // the tree's update.drl before the run
    key_change_t change_;
};

}  // namespace sign
