// tavik-sign make-zone: builds the update-server tree of one zone from a folder of files.
#pragma once

#include "tools/tavik-sign/command.hpp"

#include <cstdint>
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
};

// Largest file the updater unpacks; bigger files are offered in plain form only.
constexpr std::uint64_t max_packed_content = 32u * 1024u * 1024u;

// LZMA-alone container: 5 property bytes, the size as 8 bytes little-endian, one stream
// without end marker. Throws std::runtime_error when the encoder fails.
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
