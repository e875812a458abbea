// One file brought into the zone's download folder and proven to be the listed one.
#pragma once

#include "engine/file_item.hpp"

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

namespace upd {

class checker_t;
class downloader_t;
class url_t;
class zone_t;

// Fetches files whole (packed form first, else plain), patched (from the installed copy) or
// continued (what a cut transfer left), and accepts a file only with the SHA-256 of the signed
// list. The lanes of a run share it.
class file_fetch_t {
public:
    // `recheck_lists`: a file that fails at the server its zone's list came from is a reason to
    // read that list again (zone_t::check_republished).
    file_fetch_t(checker_t& checker, bool patches, bool recheck_lists = false);

    // One file of a zone: a patch to the installed copy when the zone's server offers one, else (or
    // when the patch fails for good) the file itself, from the zone's servers in turn.
    void fetch(downloader_t& downloader, zone_t& zone, const file_item_t& item);
    // Starts early the request that fetch() begins with when it is the file whole from the server
    // of the zone's list (no patch, nothing downloaded yet); see downloader_t::prefetch.
    void prefetch(downloader_t& downloader, zone_t& zone, const file_item_t& item);
    // One file from one URL to `target`, accepted only with the `expected` SHA-256. `size` is the
    // length the file list promises: a plain download may not run past it. What a failure leaves
    // half-way stays for the next request to continue; a continued file that fails its check is
    // fetched whole once more. `asked` follows the URL of the request under way.
    void fetch(downloader_t& downloader, const url_t& url, const boost::filesystem::path& target,
               const std::string& expected, bool packed, std::uint32_t size, std::string* asked = nullptr);

    // Whether a regular file stands at `path`, not followed: a FIFO or link the run-as account
    // planted in the work folder is no download, and an installed copy must be a file to patch.
    static bool regular_file(const boost::filesystem::path& path);
    // Whether a patch could make the file: an installed copy that is a file, of a size patched in memory.
    static bool patchable(const file_item_t& item);

    // What the zone's index says the patch for the file would cost; 0 when none would be asked for
    // or the index gives no length that a run would take.
    std::uint64_t patch_size(const zone_t& zone, const file_item_t& item);

private:
    // The installed copy's SHA-256 (hex) when a patch from it is offered and would be asked for; "" otherwise.
    std::string patch_from(const zone_t& zone, const file_item_t& item);
    // The patch road: true when the file was made from a patch and verified.
    bool fetch_patch(downloader_t& downloader, zone_t& zone, const file_item_t& item, const std::string& installed);
    void fetch_packed(downloader_t& downloader, const url_t& url, const boost::filesystem::path& target,
                      const std::string& expected, std::uint32_t size);

    checker_t& checker_;
    bool patches_;
    bool recheck_lists_;
    // Patches are applied one at a time, whatever the number of lanes: each holds its patch and the
    // decoder's window in memory, and maps the installed copy and the result.
    std::mutex patch_mutex_;
};

}  // namespace upd
