// The generation of a zone's tree that a make-zone run builds beside its output folder, and the switch of the output to
// it.
#pragma once

#include "framework/fd_guard.hpp"

#include <boost/filesystem/path.hpp>

#include <sys/stat.h>

#include <functional>
#include <string>

namespace sign {

// A run writes its tree into a folder of its own beside OUT, .NAME.gen-STAMP (NAME the last part
// of OUT, STAMP the list's, which rises with every list), and then makes OUT a link to it with one
// rename: a client that asks meanwhile gets the old tree or the new one, never a mix of them. The
// generation OUT showed before stays until the next run; older ones go. Generations are reached
// from OUT's parent, opened once, and removed by descriptor, nothing below it followed. The run
// holds the lock .NAME.lock beside OUT throughout: what it finds there is no other run's.
class generation_t {
public:
    // Whether `entry` is OUT, one of its generations, its link being switched or its lock: no input.
    static bool of_tree(const std::string& out, const boost::filesystem::path& entry);
    // The lock file of the runs on OUT.
    static std::string lock_path(const std::string& out);

    // Makes the new generation's folder (and the folders above OUT when missing), in place of one
    // a run cut short left. Throws when OUT is neither missing, nor a folder, nor a link to one of
    // its generations, or when the name is that of the generation before the one OUT shows.
    generation_t(const std::string& out, const std::string& stamp);
    ~generation_t();  // removes the folder it made, and its link, unless OUT was switched to it
    generation_t(const generation_t&) = delete;
    generation_t& operator=(const generation_t&) = delete;

    // Where the run writes its tree.
    std::string path() const;
    // Hard-links into the new generation what the tree OUT shows holds and `published` does not
    // claim (names relative to the tree, '/' between folders), recreating folders, at most
    // max_depth deep; a name the new generation holds already is its own.
    void carry_over(const std::function<bool(const std::string&)>& published) const;
    // Makes OUT a link to the new generation, a folder OUT becoming a generation first, then removes
    // the generations before the one OUT showed.
    void switch_to();

    static constexpr int max_depth = 16;

private:
    std::string parent_, name_;  // OUT's folder and last part
    std::string new_, old_;      // names of the new generation and of the tree before ("": none)
    std::string converted_;      // the name a folder OUT takes as a generation; "" for a link
    fd_guard_t at_;              // OUT's folder
    struct stat made_ {};        // the new generation's folder: another in its place is not this run's
    bool linked_ = false, switched_ = false;
};

}  // namespace sign
