// Digests of installed files, with a persistent cache keyed by each file's identity.
#pragma once

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
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
        std::string sha256;  // 32 raw bytes
        std::string md5;     // 16 raw bytes
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

    // Hashes every registered file that exists and is not covered by the cache, reporting the
    // bytes to check and checked. Interruptible (boost::thread) between files.
    void hash_all(check_counter_t& progress);

    std::string sha256(const boost::filesystem::path& path);
    std::string md5(const boost::filesystem::path& path);
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

private:
    // With `need_md5` false, MD5 is left out (empty) when the result will not be cached anyway:
    // a file just downloaded is verified by SHA-256 alone, without paying for a second digest.
    digests_t digests(const boost::filesystem::path& path, bool need_md5);
    // `flags` adds open flags (O_NOFOLLOW for a file in the work folder).
    static digests_t hash_file(const boost::filesystem::path& path, bool with_md5, int flags = 0);
    void load();
    void save();

    boost::filesystem::path cache_path_;
    std::string folder_;  // the work folder, with a slash at its end
    std::set<boost::filesystem::path, path_less> paths_;
    std::map<boost::filesystem::path, record_t, path_less> cache_;
    std::mutex mutex_;  // guards cache_ while files are hashed outside it
};

}  // namespace upd
