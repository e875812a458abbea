// Digests of installed files, with a persistent cache keyed by each file's identity.
#pragma once

#include "framework/string_area.hpp"

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace upd {

class check_counter_t;

// One run's view of the installed files: loads the cache (work_folder::cache) from the given directory at
// construction, hashes what the cache does not cover, and saves the cache at destruction.
// sha256, md5 and digests may be called from several threads at once (downloads verified side by
// side); the rest belongs to one thread.
class checker_t {
public:
    // A cached digest pair is trusted while dev, ino and ctime of the file stay the same.
    struct record_t {
        std::uint32_t dev = 0;
        std::uint32_t ino = 0;
        std::int32_t ctime = 0;
        unsigned char sha256[32] = {};
        unsigned char md5[16] = {};
    };
    // (SHA-256, MD5), raw bytes; both empty for a file that does not exist.
    using digests_t = std::pair<std::string, std::string>;

    // Never fails for a missing or bad cache file: the checker then starts with an empty cache.
    explicit checker_t(const boost::filesystem::path& directory);
    // Saves the cache; never throws.
    ~checker_t();
    checker_t(const checker_t&) = delete;
    checker_t& operator=(const checker_t&) = delete;

    // Registers files for hash_all; duplicates collapse.
    void add(const std::vector<boost::filesystem::path>& paths);
    void add(std::string_view path);

    // Hashes every registered file that exists and is not covered by the cache, reporting the
    // bytes to check and checked. Interruptible (boost::thread) between files.
    void hash_all(check_counter_t& progress);

    std::string sha256(const boost::filesystem::path& path);
    std::string md5(const boost::filesystem::path& path);
    // Where a walk over the cache stands: files asked for in path order are each found where the
    // last one was, so that comparing a sorted list with the cache is one merge of two sorted
    // sequences; one asked for out of order is looked up as any other.
    struct walk_t {
        std::size_t at = 0;
        unsigned merges = 0;  // of the cache when `at` was taken: a merge moves the slots
    };
    std::string sha256(const std::string& path, walk_t& walk);
    // Cached digests when the file's identity is unchanged, otherwise freshly computed (and
    // cached unless the file changed in the current second). A missing file gives two empty
    // strings. Throws filesystem_error ("stat") and, from hash_file, cf_outcome_t.
    digests_t digests(const boost::filesystem::path& path);

    // Both digests from one read of the file. Any failure is logged ("HASH: ...") and thrown as
    // the status alone (cf_outcome_t EC_IO_ERROR); a failed read never yields a digest of a
    // partial file.
    static digests_t hash_file(const boost::filesystem::path& path);

    // -1, 0 or 1, ordering paths exactly as boost::filesystem::path::compare does, but for the
    // usual paths in one pass over the common bytes instead of a walk over the elements of both:
    // the cache holds tens of thousands of paths.
    struct path_less {
        bool operator()(const boost::filesystem::path& a, const boost::filesystem::path& b) const {
            return compare_paths(a, b) < 0;
        }
    };
    static int compare_paths(const boost::filesystem::path& a, const boost::filesystem::path& b);
    static int compare_paths(std::string_view a, std::string_view b);

private:
    // With `need_md5` false, MD5 is left out (empty) when the result will not be cached anyway:
    // a file just downloaded is verified by SHA-256 alone, without paying for a second digest.
    digests_t digests(const boost::filesystem::path& path, bool need_md5, walk_t* walk = nullptr);
    // `flags` adds open flags (O_NOFOLLOW for a file in the work folder).
    static digests_t hash_file(const boost::filesystem::path& path, bool with_md5, int flags = 0);
    // A record and its path in the string area, 72 bytes: the cache holds a record for every
    // installed file, hundreds of thousands on a large installation.
    struct slot_t {
        std::uint32_t path = 0, path_size = 0;
        record_t record;
        bool live = true;  // false once the file changed under it: neither trusted nor saved
    };
    struct string_less {
        bool operator()(const std::string& a, const std::string& b) const {
            return compare_paths(std::string_view(a), std::string_view(b)) < 0;
        }
    };

    void load();
    void read_records(int fd);
    void save();
    std::string_view path_of(const slot_t& slot) const { return paths_.view(slot.path, slot.path_size); }
    // The record of a path (null: none), in the slots or among the fresh ones; under mutex_.
    record_t* find(std::string_view path, walk_t* walk = nullptr);
    // The first slot whose path is not below `path`; from walk->at onwards when that is before it.
    std::vector<slot_t>::iterator lower_bound(std::string_view path, walk_t* walk = nullptr);
    // Forgets the record of a path; under mutex_.
    void drop(std::string_view path);
    // Caches a record for a path; under mutex_.
    void insert(const std::string& path, const record_t& record);
    // The fresh records go into the slots in one merge of two sorted sequences; under mutex_.
    void merge_fresh();

    boost::filesystem::path cache_path_;
    std::string folder_;  // the work folder, with a slash at its end
    // The files registered for hash_all, as offset and length in their own area.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> added_;
    string_area_t added_paths_;
    // The cache: slots in path order, each path once, and the records made since the last merge.
    std::vector<slot_t> slots_;
    string_area_t paths_;
    std::map<std::string, record_t, string_less> fresh_;
    unsigned merges_ = 0;
    std::mutex mutex_;  // guards the cache while files are hashed outside it
};

}  // namespace upd
