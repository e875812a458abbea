// Digests of installed files, with a persistent cache keyed by each file's identity.
#include "files/checker.hpp"

#include "files/check_counter.hpp"
#include "framework/cf_log.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/digest.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"
#include "framework/file_replacement.hpp"
#include "framework/work_folder.hpp"

#include "upd_cache.pb.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/wire_format_lite.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <unordered_map>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace upd {

namespace {

using google::protobuf::internal::WireFormatLite;

// stat(2); false when the file does not exist, filesystem_error ("stat") for any other failure.
bool stat_existing(const boost::filesystem::path& path, struct stat& st) {
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT) return false;
    throw boost::filesystem::filesystem_error("stat", path, last_errno());
}

// The identity is kept in 32 bits each, as the cache file's readers expect.
bool same_identity(const checker_t::record_t& record, const struct stat& st) {
    return record.dev == static_cast<std::uint32_t>(st.st_dev) && record.ino == static_cast<std::uint32_t>(st.st_ino) &&
           record.ctime == static_cast<std::int32_t>(st.st_ctime);
}

// Tells whether a path is gone, as a stat failing with ENOENT or ENOTDIR would, but reads a
// directory once when it holds many of the paths asked about: saving the cache of a large
// installation would otherwise cost one system call per file.
class gone_probe_t {
public:
    bool gone(const boost::filesystem::path& path) {
        const std::string& s = path.native();
        const std::size_t slash = s.rfind('/');
        if (slash == std::string::npos || slash + 1 == s.size()) return stat_gone(path);
        name_.assign(s, slash + 1, std::string::npos);
        if (name_ == "." || name_ == "..") return stat_gone(path);

        // Reused buffers: no allocation per path once they have grown.
        parent_.assign(s, 0, slash == 0 ? 1 : slash);
        directory_t& dir = directories_[parent_];
        if (dir.state == directory_t::unread && ++dir.asked > listing_threshold) read(parent_, dir);
        switch (dir.state) {
            case directory_t::missing: return true;
            case directory_t::listed: {
                auto it = std::lower_bound(dir.names.begin(), dir.names.end(), name_,
                                           [](const entry_t& e, const std::string& n) { return e.first < n; });
                if (it == dir.names.end() || it->first != name_) return true;
                return it->second ? stat_gone(path) : false;
            }
            default: return stat_gone(path);
        }
    }

private:
    // Below this many paths in one directory, a stat each is cheaper than reading the directory.
    static constexpr unsigned listing_threshold = 8;

    // A name and whether only a stat can tell (a symbolic link may dangle; type unknown).
    using entry_t = std::pair<std::string, bool>;

    struct directory_t {
        enum { unread, listed, missing, unlistable } state = unread;
        unsigned asked = 0;
        std::vector<entry_t> names;  // sorted by name
    };

    static bool stat_gone(const boost::filesystem::path& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
    }

    static void read(const std::string& parent, directory_t& dir) {
        DIR* d = ::opendir(parent.c_str());
        if (!d) {
            dir.state = (errno == ENOENT || errno == ENOTDIR) ? directory_t::missing : directory_t::unlistable;
            return;
        }
        dir.state = directory_t::listed;
        errno = 0;
        while (struct dirent* entry = ::readdir(d)) {
#if defined(DT_UNKNOWN) && defined(DT_LNK)
            const bool needs_stat = entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK;
#else
            const bool needs_stat = true;
#endif
            dir.names.emplace_back(entry->d_name, needs_stat);
        }
        if (errno != 0) {
            dir.state = directory_t::unlistable;
            dir.names.clear();
        }
        ::closedir(d);
        std::sort(dir.names.begin(), dir.names.end());
    }

    std::unordered_map<std::string, directory_t> directories_;
    std::string parent_;
    std::string name_;
};

}  // namespace

checker_t::checker_t(const boost::filesystem::path& directory)
    : cache_path_(directory / work_folder::cache), folder_(directory.string() + '/') {
    load();
}

checker_t::~checker_t() { save(); }

namespace {

int byte_compare(const char* a, std::size_t a_size, const char* b, std::size_t b_size) {
    int r = std::char_traits<char>::compare(a, b, std::min(a_size, b_size));
    if (r != 0) return r;
    return a_size < b_size ? -1 : (a_size > b_size ? 1 : 0);
}

}  // namespace

int checker_t::compare_paths(const boost::filesystem::path& a, const boost::filesystem::path& b) {
    const std::string& x = a.native();
    const std::string& y = b.native();
    auto fallback = [&] {
        int r = a.compare(b);
        return (r > 0) - (r < 0);
    };
    // A leading "//" may be a root name; let the path's own iteration decide.
    if ((x.size() >= 2 && x[0] == '/' && x[1] == '/') || (y.size() >= 2 && y[0] == '/' && y[1] == '/')) {
        return fallback();
    }
    const bool x_rooted = !x.empty() && x[0] == '/';
    const bool y_rooted = !y.empty() && y[0] == '/';
    if (x_rooted != y_rooted) {
        // The root directory element "/" meets the other path's first element.
        const std::string& relative = x_rooted ? y : x;
        std::size_t end = std::min(relative.find('/'), relative.size());
        int r = relative.empty() ? 1 : byte_compare("/", 1, relative.data(), end);
        if (r == 0) r = 1;  // cannot happen: a relative element holds no '/'
        return x_rooted ? (r > 0) - (r < 0) : -((r > 0) - (r < 0));
    }
    // Elements compare as the bytes do once a separator ranks below every other byte: the first
    // difference either lies inside an element, or ends one element where the other goes on.
    // Only separator runs and trailing separators at that point need the elementwise view.
    const std::size_t n = std::min(x.size(), y.size());
    std::size_t i = x_rooted ? 1 : 0;
    while (i < n && x[i] == y[i]) ++i;
    if (i < n) {
        if ((x[i] == '/' || y[i] == '/') && i > 0 && x[i - 1] == '/') return fallback();
        unsigned char cx = x[i] == '/' ? 0 : static_cast<unsigned char>(x[i]);
        unsigned char cy = y[i] == '/' ? 0 : static_cast<unsigned char>(y[i]);
        return cx < cy ? -1 : 1;
    }
    if (x.size() == y.size()) return 0;
    // One is a prefix of the other: it has fewer elements, unless it ends in a separator, which
    // iterates as a "." element.
    const std::string& shorter = x.size() < y.size() ? x : y;
    if (shorter.size() > 1 && shorter.back() == '/') return fallback();
    return x.size() < y.size() ? -1 : 1;
}

void checker_t::add(const std::vector<boost::filesystem::path>& paths) {
    // Lists usually come sorted; the hint makes that case cost one comparison per path.
    for (const auto& path : paths) paths_.insert(paths_.end(), path);
}

void checker_t::hash_all(check_counter_t& progress) {
    std::vector<std::pair<boost::filesystem::path, std::uint32_t>> pending;
    // Both are in the same order: one walk finds the records instead of a lookup per path.
    const path_less less;
    auto cached = cache_.begin();
    for (const auto& path : paths_) {
        boost::this_thread::interruption_point();
        struct stat st;
        if (!stat_existing(path, st)) continue;
        while (cached != cache_.end() && less(cached->first, path)) ++cached;
        if (cached != cache_.end() && !less(path, cached->first) && same_identity(cached->second, st)) {
            continue;
        }
        pending.emplace_back(path, static_cast<std::uint32_t>(st.st_size));
    }

    std::uint32_t total = 0;
    for (const auto& item : pending) total += item.second;
    progress.start_check(total);

    std::uint32_t done = 0;
    for (const auto& item : pending) {
        boost::this_thread::interruption_point();
        progress.set_checked(done);
        digests(item.first);
        done += item.second;
    }
    progress.set_checked(done);
}

std::string checker_t::sha256(const boost::filesystem::path& path) { return digests(path, false).first; }

std::string checker_t::md5(const boost::filesystem::path& path) { return digests(path).second; }

checker_t::digests_t checker_t::digests(const boost::filesystem::path& path) { return digests(path, true); }

checker_t::digests_t checker_t::digests(const boost::filesystem::path& path, bool need_md5) {
    // Taken before the stat: a change made after it, even within the second of an earlier
    // change, can then never hide behind an unchanged ctime in the cache.
    const std::time_t now = std::time(nullptr);
    struct stat st;
    if (!stat_existing(path, st)) return digests_t();

    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = cache_.find(path);
        if (it != cache_.end()) {
            const record_t& record = it->second;
            if (same_identity(record, st)) return digests_t(record.sha256, record.md5);
            cache_.erase(it);
        }
    }

    const bool cacheable = now > st.st_ctime;
    // What the work folder holds (the downloads) is the run-as account's: never followed anywhere.
    const bool own = path.native().compare(0, folder_.size(), folder_) == 0;
    digests_t result = hash_file(path, need_md5 || cacheable, own ? O_NOFOLLOW : 0);
    if (cacheable) {
        std::lock_guard<std::mutex> lock(mutex_);
        record_t& record = cache_[path];
        record.dev = static_cast<std::uint32_t>(st.st_dev);
        record.ino = static_cast<std::uint32_t>(st.st_ino);
        record.ctime = static_cast<std::int32_t>(st.st_ctime);
        record.sha256 = result.first;
        record.md5 = result.second;
    }
    return result;
}

checker_t::digests_t checker_t::hash_file(const boost::filesystem::path& path) { return hash_file(path, true); }

checker_t::digests_t checker_t::hash_file(const boost::filesystem::path& path, bool with_md5, int flags) {
    try {
        cf_digest_t sha256(EVP_sha256());
        cf_digest_t md5(with_md5 ? EVP_md5() : EVP_md_null());
        boost::system::error_code open_error;
        fd_guard_t fd(open_regular(path.c_str(), open_error, nullptr, flags));
        if (fd.get() < 0) throw boost::system::system_error(open_error, "open");
        digest_fd(fd.get(), {&sha256, with_md5 ? &md5 : nullptr});
        std::string sha = sha256.finish();
        return digests_t(std::move(sha), with_md5 ? md5.finish() : std::string());
    } catch (const std::exception& e) {
        LOG_ERROR("HASH: " << path << ": " << exception_text(e));
        throw cf_outcome_t(tvk::EC_IO_ERROR);
    }
}

void checker_t::load() {
    try {
        // The run-as account owns the folder: a FIFO planted there must not block the run.
        boost::system::error_code ec;
        fd_guard_t fd(open_regular(cache_path_.c_str(), ec, nullptr, O_NOFOLLOW));
        if (fd.get() < 0) throw boost::system::system_error(ec, "open");
        // Read record by record, with the rules of parsing one whole upd.Cache (unknown fields
        // skipped, required fields enforced, a read error is a format error), but without
        // holding the whole message next to the map built from it.
        google::protobuf::io::FileInputStream raw(fd.get());
        int records = 0;
        {
            google::protobuf::io::CodedInputStream in(&raw);
            const std::uint32_t crc_tag =
                WireFormatLite::MakeTag(Cache::kCrcsFieldNumber, WireFormatLite::WIRETYPE_LENGTH_DELIMITED);
            FileCrc crc;
            for (;;) {
                const std::uint32_t tag = in.ReadTag();
                if (tag == 0) {
                    if (!in.ConsumedEntireMessage()) throw std::runtime_error("invalid format");
                    break;
                }
                if (tag != crc_tag) {
                    if (!WireFormatLite::SkipField(&in, tag)) throw std::runtime_error("invalid format");
                    continue;
                }
                std::uint32_t size = 0;
                if (!in.ReadVarint32(&size)) throw std::runtime_error("invalid format");
                const auto limit = in.PushLimit(static_cast<int>(size));
                crc.Clear();
                if (!crc.MergeFromCodedStream(&in) || in.BytesUntilLimit() != 0) {
                    throw std::runtime_error("invalid format");
                }
                in.PopLimit(limit);
                ++records;
                // Saved in path order, so each record goes at the end: no search in the map.
                auto it = cache_.emplace_hint(cache_.end(), std::piecewise_construct, std::forward_as_tuple(crc.path()),
                                              std::forward_as_tuple());
                record_t& record = it->second;
                record.dev = static_cast<std::uint32_t>(crc.dev());
                record.ino = static_cast<std::uint32_t>(crc.ino());
                record.ctime = static_cast<std::int32_t>(static_cast<std::uint32_t>(crc.ctime()));
                record.sha256 = crc.sha256();
                record.md5 = crc.md5();
            }
        }
        if (raw.GetErrno() != 0) throw std::runtime_error("invalid format");
        LOG_DEBUG("Checker: " << records << " records loaded");
    } catch (const std::exception& e) {
        cache_.clear();
        if (error_code_of(e) == boost::system::errc::no_such_file_or_directory) {
            LOG_DEBUG("Checker: no cache");
        } else {
            LOG_WARNING("Cache: " << cache_path_ << ": " << exception_text(e));
        }
    }
}

void checker_t::save() {
    // Replaced as a whole: a failure at any point (a full disk) leaves the previous cache, never a
    // torn one.
    try {
        try {
            replace_file(cache_path_.string(), [this](int fd) {
                // Written record by record as the repeated field of upd.Cache, the bytes that
                // serializing one whole upd.Cache would give, without holding a copy of the cache.
                google::protobuf::io::FileOutputStream raw(fd);
                bool written = true;
                {
                    google::protobuf::io::CodedOutputStream out(&raw);
                    const std::uint32_t tag =
                        WireFormatLite::MakeTag(Cache::kCrcsFieldNumber, WireFormatLite::WIRETYPE_LENGTH_DELIMITED);
                    FileCrc crc;
                    gone_probe_t probe;
                    for (const auto& entry : cache_) {
                        // Records of files that are gone would only grow the cache. A file that
                        // merely cannot be looked at now keeps its record.
                        const boost::filesystem::path& path = entry.first;
                        if (probe.gone(path)) continue;
                        const record_t& record = entry.second;
                        crc.set_path(path.string());
                        crc.set_dev(record.dev);
                        crc.set_ino(record.ino);
                        crc.set_ctime(static_cast<std::uint64_t>(static_cast<std::int64_t>(record.ctime)));
                        crc.set_sha256(record.sha256);
                        crc.set_md5(record.md5);
                        out.WriteTag(tag);
                        out.WriteVarint32(static_cast<std::uint32_t>(crc.ByteSizeLong()));
                        crc.SerializeWithCachedSizes(&out);
                    }
                    written = !out.HadError();
                }
                if (!raw.Flush() || !written) throw std::runtime_error("serialization failed");
            });
        } catch (const std::exception& e) {
            LOG_WARNING("Cache: " << cache_path_ << ": " << exception_text(e));
        }
    } catch (...) {
        // Saving is best effort; a destructor must not throw.
    }
}

}  // namespace upd
