// tavik-sign make-zone: builds the update-server tree of one zone from a folder of files.
#pragma once

#include "tools/tavik-sign/command.hpp"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace sign {

struct zone_options_t {
    std::string key;    // private key file
    std::string files;  // folder whose regular files make up the zone
    std::string out;    // server tree to write
    std::vector<std::string> urls;       // base URLs for update.drl
    std::vector<std::string> fallbacks;  // fallback URLs for zone.ini
    std::vector<std::string> patterns;   // name patterns of the list ("-pattern," lines)
    std::string stamp;                   // digits of the list stamp; empty: UTC time now
    bool lzma_list = true;               // also write version.lst.lzma
    bool packed = true;                  // also write NAME.lzma for every file but "timestamp"
    std::string drl_name;  // a plain file name: a copy of update.drl under it too ("": none)
    bool allow_empty = false;  // a folder of files without one regular file is no mistake
    std::vector<std::string> previous;  // folders of earlier versions of the files, patched from
};

// The files a run publishes in the output folder, by names relative to it ('/' between folders).
// The record file there keeps the names, so that the next run removes what it publishes no more,
// and never a file that it did not publish. Whatever a run may write is added before it is.
class published_t {
public:
    static const char record_name[];  // ".published"

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

// LZMA-alone container: 5 property bytes, the size as 8 bytes little-endian, one stream
// without end marker. Throws std::runtime_error when the encoder fails. (make-zone packs files
// as streams, into the same bytes.)
std::string lzma_pack(const std::string& data);

// What one list line says about one file.
struct zone_entry_t {
    std::string name;
    std::string sha256_hex;  // lower case
    std::uint64_t size = 0;
};

// The unsigned list: header, stamp, "+name, digest, size" lines in name order, "-pattern,"
// lines, trailer with its line end.
std::string lst_text(const std::string& stamp, std::vector<zone_entry_t> entries,
                     const std::vector<std::string>& patterns);

// Validation of what ends up in the signed files; each returns an error text or "".
std::string check_file_name(const std::string& name);
std::string check_pattern(const std::string& pattern);
std::string check_url(const std::string& url, bool in_ini);

// Writes the tree; throws std::runtime_error with a readable text on any failure.
void make_zone(const zone_options_t& options);

// The dispatch-table entry of the signing tool.
command_t make_zone_command();

}  // namespace sign
