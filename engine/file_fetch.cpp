// One file brought into the zone's download folder and proven to be the listed one.
#include "engine/file_fetch.hpp"

#include "engine/packed_form.hpp"
#include "engine/zone.hpp"
#include "files/apply_patch.hpp"
#include "files/checker.hpp"
#include "files/lzma_decompress.hpp"
#include "files/mirror_tree.hpp"
#include "framework/cf_log.hpp"
#include "framework/digest.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"
#include "framework/work_folder.hpp"
#include "net/downloader.hpp"
#include "net/url.hpp"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace upd {

namespace {

void log_download(const fs::path& path) {
    LOG_NOTICE("Downloaded " << path.filename().string() << " (" << fs::file_size(path) << " bytes)");
}

// The file that failed its digest stays where it is: it is never offered for installation, and
// the next run finds its digest wrong and fetches it again.
[[noreturn]] void throw_bad_checksum(const fs::path& target) {
    throw fs::filesystem_error("SHA256", target, tvk::make_error_code(tvk::EC_BAD_CHECKSUM));
}

bool is(const std::exception& e, tvk::ErrorCode code) { return error_code_of(e) == tvk::make_error_code(code); }

// No container for a file of `size` can be larger; a longer one is refused as it arrives.
std::uint64_t packed_limit(std::uint32_t size) {
    return std::min(max_in_memory, lzma_header_size + lzma_packed_bound(size));
}

}  // namespace

file_fetch_t::file_fetch_t(checker_t& checker, bool patches, bool recheck_lists)
    : checker_(checker), patches_(patches), recheck_lists_(recheck_lists) {}

bool file_fetch_t::patchable(const file_item_t& item) {
    return item.size <= max_patched_size && regular_file(item.destination);
}

bool file_fetch_t::regular_file(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void file_fetch_t::fetch(downloader_t& downloader, zone_t& zone, const file_item_t& item) {
    const std::string name = fs::path(item.source).filename().string();
    const std::string installed = patch_from(zone, item);
    if (!installed.empty() && fetch_patch(downloader, zone, item, installed)) return;
    zone.mirrors().ask([&](const std::string& server, std::string& asked) {
        try {
            fetch(downloader, url_t(server, name), item.source, item.sha256, item.packed, item.size, &asked);
        } catch (const std::exception& e) {
            // Files keep their names across versions: one asked for after a publication is the new one.
            if (recheck_lists_ && (is(e, tvk::EC_BAD_CHECKSUM) || is(e, tvk::EC_NO_SUCH_ENTRY)))
                zone.check_republished(downloader, server);
            throw;
        }
    });
}

void file_fetch_t::prefetch(downloader_t& downloader, zone_t& zone, const file_item_t& item) {
    const std::string server = zone.mirrors().list_server(), name = fs::path(item.source).filename().string();
    if (server.empty() || regular_file(item.source) || !patch_from(zone, item).empty()) return;
    const url_t url(server, name);
    if (!item.packed) return downloader.prefetch(url, item.source, item.size);
    downloader.prefetch(url.with_suffix(mirror_tree::packed_suffix), item.source + work_folder::packed_suffix,
                        packed_limit(item.size));
}

std::string file_fetch_t::patch_from(const zone_t& zone, const file_item_t& item) {
    // The cached digest of the installed copy picks the patch; the copy itself is checked again.
    if (!patches_ || !zone.patches().size() || !patchable(item)) return std::string();
    const std::string installed = to_hex(checker_.sha256(item.destination));
    return zone.patches().offers(fs::path(item.source).filename().string(), installed, to_hex(item.sha256))
               ? installed
               : std::string();
}

std::uint64_t file_fetch_t::patch_size(const zone_t& zone, const file_item_t& item) {
    const std::string installed = patch_from(zone, item);
    return installed.empty()
               ? 0
               : zone.patches().size_of(fs::path(item.source).filename().string(), installed, to_hex(item.sha256));
}

bool file_fetch_t::fetch_patch(downloader_t& downloader, zone_t& zone, const file_item_t& item,
                               const std::string& installed) {
    const std::string path = patch_index_t::patch_path(installed, to_hex(item.sha256)),
                      patch = item.source + work_folder::patch_suffix, part = item.source + work_folder::part_suffix;
    std::string asked, oversized;
    bool missing = false;
    mirrors_t::round_t round;
    const bool served = zone.mirrors().ask_in_turn(
        [&](const std::string& server, std::string& url) {
            const url_t patch_url(server, path);
            url = asked = patch_url.to_string();
            try {
                // The publisher offers no patch of half the file or more.
                downloader.get_to_file(patch_url, patch, patch_index_t::max_patch_size(item.size), true);
            } catch (const server_failure_t& e) {
                // A server without this patch is no failed server: the file comes whole.
                if (exit_code_of(e) != tvk::EC_NO_SUCH_ENTRY && exit_code_of(e) != tvk::EC_LIMIT_REACHED) throw;
                missing = exit_code_of(e) == tvk::EC_NO_SUCH_ENTRY;
                if (!missing) oversized = e.cause();
            }
        },
        round);
    if (!served || missing) return false;
    try {
        if (!oversized.empty()) throw server_failure_t(tvk::EC_LIMIT_REACHED, "Patch too large", oversized);
        std::lock_guard<std::mutex> lock(patch_mutex_);
        const auto started = std::chrono::steady_clock::now();
        const std::vector<char> bytes = read_regular_file(patch, item.size, O_NOFOLLOW);
        // The installed copy's cached digest chose the patch; a copy that changed since makes a
        // result that fails its digest, and the whole file comes.
        if (apply_patch_file(item.destination, bytes.data(), bytes.size(), item.size, part) != item.sha256)
            throw_bad_checksum(item.source);
        if (::rename(part.c_str(), item.source.c_str()) != 0)
            throw fs::filesystem_error("rename", item.source, last_errno());
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        LOG_NOTICE("Patched " << fs::path(item.source).filename().string() << " (" << bytes.size() << " bytes for "
                              << item.size << ") in " << ms << " ms");
        ::unlink(patch.c_str());
        return true;
    } catch (const std::exception& e) {
        // What a patch leaves in the part is never taken for a download cut short.
        ::unlink(part.c_str()), ::unlink(patch.c_str()), ::unlink((patch + work_folder::part_suffix).c_str());
        // This machine's disk is full: the whole file would not fit either.
        if (out_of_space(e)) throw;
        // A damaged patch, or one that makes another file: the whole file, once.
        LOG_WARNING("Zone " << zone.name() << ": " << asked << ": " << mirrors_t::cause(e)
                            << "; the whole file instead");
    }
    return false;
}

void file_fetch_t::fetch(downloader_t& downloader, const url_t& url, const fs::path& target,
                         const std::string& expected, bool packed, std::uint32_t size, std::string* asked) {
    if (regular_file(target) && checker_.sha256(target) == expected) {
        LOG_DEBUG("Download: " << target << ": has already been downloaded");
        return;
    }
    const auto plain = [&] {
        if (asked) *asked = url.to_string();
        for (std::uint64_t resumed = 1; resumed > 0;) {
            resumed = downloader.get_to_file(url, target, size, true);
            log_download(target);
            LOG_DEBUG(target.filename().string() << " MD5 " << to_hex(checker_.md5(target)));
            if (checker_.sha256(target) == expected) return;
            if (resumed == 0) throw_bad_checksum(target);
            LOG_DEBUG("Download: " << target << ": continued from " << resumed
                                   << " bytes, fails its digest; once more whole");
            ::unlink(target.c_str());
        }
    };
    if (!packed) return plain();
    packed_form::or_plain(
        [&] {
            if (asked) *asked = url.to_string() + mirror_tree::packed_suffix;
            fetch_packed(downloader, url, target, expected, size);
        },
        plain);
}

void file_fetch_t::fetch_packed(downloader_t& downloader, const url_t& url, const fs::path& target,
                                const std::string& expected, std::uint32_t size) {
    const url_t packed_url = url.with_suffix(mirror_tree::packed_suffix);
    const fs::path temporary = target.string() + work_folder::packed_suffix;
    // A container continued from an earlier part that fails is fetched whole once more: the part
    // may have come from a mirror that packs differently.
    for (;;) {
        std::uint64_t resumed = 0;
        try {
            resumed = downloader.get_to_file(packed_url, temporary, packed_limit(size), true);
            log_download(temporary);
            lzma_decompress_file(temporary, target, size);
            if (::unlink(temporary.c_str()) != 0) LOG_DEBUG("unlink: " << std::strerror(errno) << ": " << temporary);
            LOG_DEBUG(target.filename().string() << " MD5 " << to_hex(checker_.md5(target)));
            if (checker_.sha256(target) != expected) throw_bad_checksum(target);
            return;
        } catch (const std::exception& e) {
            LOG_DEBUG("Download lzma: " << exception_text(e));
            ::unlink(temporary.c_str());
            // An unpacking cut short (a full disk) leaves a partial target; it held no verified
            // file before, or the download would have been skipped. A complete file that failed
            // its digest is kept, as after a plain download.
            if (!is(e, tvk::EC_BAD_CHECKSUM)) ::unlink(target.c_str());
            if (resumed == 0 || !(is(e, tvk::EC_BAD_CHECKSUM) || is(e, tvk::EC_BAD_LZMA_FILE))) throw;
        }
    }
}

}  // namespace upd
