// Digests of installed files, with a persistent cache keyed by each file's identity.
#include "files/checker.hpp"

#include "files/check_counter.hpp"
#include "files/gone_probe.hpp"
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
#include <cstring>
#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace upd {

namespace {

using google::protobuf::internal::WireFormatLite;

// stat(2); false when the file does not exist, filesystem_error ("stat") for any other failure.
bool stat_existing(const std::string& path, struct stat& st) {
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT) return false;
    throw boost::filesystem::filesystem_error("stat", path, last_errno());
}

// The identity is kept in 32 bits each, as the cache file's readers expect.
bool same_identity(const checker_t::record_t& record, const struct stat& st) {
    return record.dev == static_cast<std::uint32_t>(st.st_dev) && record.ino == static_cast<std::uint32_t>(st.st_ino) &&
           record.ctime == static_cast<std::int32_t>(st.st_ctime);
}

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
    return compare_paths(std::string_view(a.native()), std::string_view(b.native()));
}

int checker_t::compare_paths(std::string_view x, std::string_view y) {
    auto fallback = [&] {
        const int r = boost::filesystem::path(std::string(x)).compare(boost::filesystem::path(std::string(y)));
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
        const std::string_view relative = x_rooted ? y : x;
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
    const std::string_view shorter = x.size() < y.size() ? x : y;
    if (shorter.size() > 1 && shorter.back() == '/') return fallback();
    return x.size() < y.size() ? -1 : 1;
}

void checker_t::add(const std::vector<boost::filesystem::path>& paths) {
    for (const auto& path : paths) add(path.native());
}

void checker_t::add(std::string_view path) {
    added_.emplace_back(added_paths_.add(path), static_cast<std::uint32_t>(path.size()));
}

void checker_t::hash_all(check_counter_t& progress) {
    // The registered paths in path order, each once, then one walk beside the slots.
    const auto added = [this](const std::pair<std::uint32_t, std::uint32_t>& a) {
        return added_paths_.view(a.first, a.second);
    };
    std::sort(added_.begin(), added_.end(),
              [&](const auto& a, const auto& b) { return compare_paths(added(a), added(b)) < 0; });
    added_.erase(
        std::unique(added_.begin(), added_.end(), [&](const auto& a, const auto& b) { return added(a) == added(b); }),
        added_.end());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        merge_fresh();
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pending;  // (index in added_, size)
    std::string path;
    auto cached = slots_.begin();
    for (std::size_t i = 0; i < added_.size(); ++i) {
        boost::this_thread::interruption_point();
        path.assign(added(added_[i]));
        struct stat st;
        if (!stat_existing(path, st)) continue;
        while (cached != slots_.end() && compare_paths(path_of(*cached), std::string_view(path)) < 0) ++cached;
        if (cached != slots_.end() && cached->live && path_of(*cached) == path && same_identity(cached->record, st))
            continue;
        pending.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(st.st_size));
    }

    std::uint32_t total = 0;
    std::size_t path_bytes = 0;
    for (const auto& item : pending) total += item.second, path_bytes += added_[item.first].second;
    progress.start_check(total);
    // Room for the records of what is about to be hashed: a cold run fills the cache without doubling it.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.reserve(slots_.size() + pending.size()), paths_.reserve(paths_.size() + path_bytes);
    }

    std::uint32_t done = 0;
    for (const auto& item : pending) {
        boost::this_thread::interruption_point();
        progress.set_checked(done);
        digests(std::string(added(added_[item.first])));
        done += item.second;
    }
    progress.set_checked(done);
    // Needed no more: the memory goes back before the run goes on.
    added_ = {}, added_paths_.clear();
}

std::string checker_t::sha256(const boost::filesystem::path& path) { return digests(path, false).first; }

std::string checker_t::md5(const boost::filesystem::path& path) { return digests(path).second; }

checker_t::digests_t checker_t::digests(const boost::filesystem::path& path) { return digests(path, true); }

std::string checker_t::sha256(const std::string& path, walk_t& walk) { return digests(path, false, &walk).first; }

checker_t::digests_t checker_t::digests(const boost::filesystem::path& path, bool need_md5, walk_t* walk) {
    // Taken before the stat: a change made after it, even within the second of an earlier
    // change, can then never hide behind an unchanged ctime in the cache.
    const std::time_t now = std::time(nullptr);
    struct stat st;
    if (!stat_existing(path.native(), st)) return digests_t();

    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (record_t* record = find(path.native(), walk)) {
            if (same_identity(*record, st)) {
                return digests_t(std::string(reinterpret_cast<const char*>(record->sha256), sizeof record->sha256),
                                 std::string(reinterpret_cast<const char*>(record->md5), sizeof record->md5));
            }
            drop(path.native());
        }
    }

    const bool cacheable = now > st.st_ctime;
    // What the work folder holds (the downloads) is the run-as account's: never followed anywhere.
    const bool own = path.native().compare(0, folder_.size(), folder_) == 0;
    digests_t result = hash_file(path, need_md5 || cacheable, own ? O_NOFOLLOW : 0);
    if (cacheable) {
        record_t record;
        record.dev = static_cast<std::uint32_t>(st.st_dev);
        record.ino = static_cast<std::uint32_t>(st.st_ino);
        record.ctime = static_cast<std::int32_t>(st.st_ctime);
        std::memcpy(record.sha256, result.first.data(), sizeof record.sha256);
        std::memcpy(record.md5, result.second.data(), sizeof record.md5);
        std::lock_guard<std::mutex> lock(mutex_);
        insert(path.native(), record);
    }
    return result;
}

std::vector<checker_t::slot_t>::iterator checker_t::lower_bound(std::string_view path, walk_t* walk) {
    const auto below = [this](const slot_t& s, std::string_view p) { return compare_paths(path_of(s), p) < 0; };
    if (!walk || walk->merges != merges_ || walk->at > slots_.size() ||
        (walk->at > 0 && !below(slots_[walk->at - 1], path)))
        return std::lower_bound(slots_.begin(), slots_.end(), path, below);
    // In order: a few steps on from the last one, or a search over what lies beyond.
    auto it = slots_.begin() + static_cast<std::ptrdiff_t>(walk->at);
    for (int step = 0; step < 8 && it != slots_.end() && below(*it, path); ++step) ++it;
    if (it != slots_.end() && below(*it, path)) it = std::lower_bound(it, slots_.end(), path, below);
    walk->at = static_cast<std::size_t>(it - slots_.begin()), walk->merges = merges_;
    return it;
}

checker_t::record_t* checker_t::find(std::string_view path, walk_t* walk) {
    const auto it = lower_bound(path, walk);
    if (it != slots_.end() && path_of(*it) == path) return it->live ? &it->record : nullptr;
    const auto fresh = fresh_.find(std::string(path));
    return fresh == fresh_.end() ? nullptr : &fresh->second;
}

void checker_t::drop(std::string_view path) {
    const auto it = lower_bound(path);
    if (it != slots_.end() && path_of(*it) == path) it->live = false;
    fresh_.erase(std::string(path));
}

void checker_t::insert(const std::string& path, const record_t& record) {
    const auto it = lower_bound(path);
    if (it != slots_.end() && path_of(*it) == path) {
        it->record = record, it->live = true;  // the same path: its slot is reused
    } else if (it == slots_.end() && fresh_.empty()) {
        // Past the last slot, as the files hash_all reads come: appended, still in order.
        slots_.push_back(slot_t{paths_.add(path), static_cast<std::uint32_t>(path.size()), record, true});
    } else {
        fresh_[path] = record;
        // Merged once they are an eighth of the slots: each merge moves every slot, so their
        // count grows by a fixed factor between merges.
        if (fresh_.size() > std::max<std::size_t>(1024, slots_.size() / 8)) merge_fresh();
    }
}

void checker_t::merge_fresh() {
    if (fresh_.empty()) return;
    std::vector<slot_t> merged;
    merged.reserve(slots_.size() + fresh_.size());
    auto fresh = fresh_.begin();
    for (const slot_t& slot : slots_) {
        for (; fresh != fresh_.end() && compare_paths(std::string_view(fresh->first), path_of(slot)) < 0; ++fresh)
            merged.push_back(
                slot_t{paths_.add(fresh->first), static_cast<std::uint32_t>(fresh->first.size()), fresh->second, true});
        merged.push_back(slot);
    }
    for (; fresh != fresh_.end(); ++fresh)
        merged.push_back(
            slot_t{paths_.add(fresh->first), static_cast<std::uint32_t>(fresh->first.size()), fresh->second, true});
    slots_.swap(merged);
    fresh_.clear(), ++merges_;
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
        read_records(fd.get());
    } catch (const std::exception& e) {
        slots_ = {}, paths_.clear();
        if (error_code_of(e) == boost::system::errc::no_such_file_or_directory) {
            LOG_DEBUG("Checker: no cache");
        } else {
            LOG_WARNING("Cache: " << cache_path_ << ": " << exception_text(e));
        }
    }
}

namespace {

// Calls `f` with each record of an upd.Cache read from `fd`, with the rules of parsing the whole
// message (unknown fields skipped, required fields enforced, a read error is a format error) but
// without holding it; returns their count.
int each_record(int fd, const std::function<void(const FileCrc&)>& f) {
    google::protobuf::io::FileInputStream raw(fd);
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
            if (!crc.MergeFromCodedStream(&in) || in.BytesUntilLimit() != 0) throw std::runtime_error("invalid format");
            in.PopLimit(limit);
            ++records;
            f(crc);
        }
    }
    if (raw.GetErrno() != 0) throw std::runtime_error("invalid format");
    return records;
}

// Digests of other lengths are none of ours: that file is hashed again.
bool usable(const FileCrc& crc) {
    return crc.sha256().size() == sizeof(checker_t::record_t::sha256) &&
           crc.md5().size() == sizeof(checker_t::record_t::md5);
}

}  // namespace

void checker_t::read_records(int fd) {
    // Counted first, then read again into room reserved for exactly what the file held: the records
    // of a large installation never stand in memory twice while a vector doubles.
    std::size_t count = 0, path_bytes = 0;
    each_record(fd, [&](const FileCrc& crc) {
        if (usable(crc)) ++count, path_bytes += crc.path().size();
    });
    if (::lseek(fd, 0, SEEK_SET) != 0) throw boost::system::system_error(last_errno(), "lseek");
    slots_.reserve(count), paths_.reserve(path_bytes);
    const int records = each_record(fd, [this](const FileCrc& crc) {
        if (!usable(crc) || slots_.size() == slots_.capacity()) return;  // the file changed meanwhile
        slot_t slot{paths_.add(crc.path()), static_cast<std::uint32_t>(crc.path().size()), {}, true};
        slot.record.dev = static_cast<std::uint32_t>(crc.dev());
        slot.record.ino = static_cast<std::uint32_t>(crc.ino());
        slot.record.ctime = static_cast<std::int32_t>(static_cast<std::uint32_t>(crc.ctime()));
        std::memcpy(slot.record.sha256, crc.sha256().data(), sizeof slot.record.sha256);
        std::memcpy(slot.record.md5, crc.md5().data(), sizeof slot.record.md5);
        slots_.push_back(slot);
    });
    // Saved in path order; a file that is not (written by hand, or by another version) is put in
    // order, and of a repeated path the first record counts.
    const auto less = [this](const slot_t& a, const slot_t& b) {
        const int r = compare_paths(path_of(a), path_of(b));
        return r < 0 || (r == 0 && a.path < b.path);
    };
    if (!std::is_sorted(slots_.begin(), slots_.end(), less)) std::sort(slots_.begin(), slots_.end(), less);
    slots_.erase(std::unique(slots_.begin(), slots_.end(),
                             [this](const slot_t& a, const slot_t& b) { return path_of(a) == path_of(b); }),
                 slots_.end());
    LOG_DEBUG("Checker: " << records << " records loaded");
}

void checker_t::save() {
    // Replaced as a whole: a failure at any point (a full disk) leaves the previous cache, never a
    // torn one.
    try {
        try {
            merge_fresh();
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
                    for (const slot_t& slot : slots_) {
                        crc.mutable_path()->assign(path_of(slot).data(), slot.path_size);
                        // Records of files that are gone would only grow the cache. A file that
                        // merely cannot be looked at now keeps its record.
                        if (!slot.live || probe.gone(crc.path())) continue;
                        const record_t& record = slot.record;
                        crc.set_dev(record.dev);
                        crc.set_ino(record.ino);
                        crc.set_ctime(static_cast<std::uint64_t>(static_cast<std::int64_t>(record.ctime)));
                        crc.set_sha256(record.sha256, sizeof record.sha256);
                        crc.set_md5(record.md5, sizeof record.md5);
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
