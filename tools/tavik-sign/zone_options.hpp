// The options of tavik-sign make-zone: read from its command line, checked, and what they name.
#pragma once

#include <string>
#include <vector>

namespace sign {

struct zone_options_t {
    std::string key;                             // private key file
    std::string files;                           // folder whose regular files make up the zone
    std::string out;                             // server tree to write
    std::vector<std::string> urls;               // base URLs for update.drl
    std::vector<std::string> fallbacks;          // fallback URLs for zone.ini
    std::vector<std::string> patterns;           // name patterns of the list ("-pattern," lines)
    std::string stamp;                           // digits of the list stamp; empty: UTC time now
    std::string valid_for = "14d";               // how long the list is valid ("14d", "36h", "none")
    std::string zone;                            // the zone the list names ("": none)
    bool lzma_list = true;                       // also write version.lst.lzma
    bool packed = true;                          // also write NAME.lzma for every file but "timestamp"
    std::string drl_name;                        // a plain file name: a copy of update.drl under it too ("": none)
    bool allow_empty = false;                    // a folder of files without one regular file is no mistake
    std::vector<std::string> previous;           // folders of earlier versions of the files, patched from
    std::vector<std::string> ed25519_keys;       // Ed25519 key files, a signature part each
    bool new_keys = false;                       // the tree's list may be signed by other keys: a change of keys meant
    unsigned wait = 0;                           // seconds to wait for another run's lock on the tree
    static constexpr unsigned max_wait = 86400;  // a day: a longer wait is no wait but a hang
};

extern const char zone_usage[];  // the synopsis of the command line
// The options of a command line; usage_error_t names an argument it cannot take, or the first
// required one missing.
zone_options_t zone_options(const std::vector<std::string>& args);

// Checks what the options put into the signed files: std::runtime_error names the first mistake.
void check_options(const zone_options_t& options);
// The stamp of the new list: the given one or the UTC time, to the second. std::runtime_error when
// it is not above that of the list the tree holds already, which only the run holding the tree's
// lock may read.
std::string list_stamp(const zone_options_t& options);

// The seconds of a validity: days ("14d") or hours ("36h"), at least an hour; 0 for "none".
// std::runtime_error for anything else.
long long validity_seconds(const std::string& text);
// The expiry to write into the list: make-zone's UTC clock plus the validity; empty for none.
std::string list_expiry(const zone_options_t& options);

// One input file: copied to the tree, measured and, unless told otherwise, packed beside it.
struct zone_input_t {
    std::string name;
    std::string path;
};

// Whether make-zone makes a file or folder of that name in the tree itself.
bool made_by_make_zone(const std::string& name);

// The regular files of the folder of files (links followed), in name order, but for the tree and
// its generations when they are kept there. std::runtime_error for anything else there, a name that a list cannot hold
// or that make-zone makes itself, no file at all unless allowed, and, when files are packed, one that the packed form
// of another would replace.
std::vector<zone_input_t> list_inputs(const zone_options_t& options);

}  // namespace sign
