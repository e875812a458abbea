// Digests of installed files, with a persistent cache keyed by each file's identity.
#include "files/checker.hpp"

#include "control/progress.hpp"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"

#include "upd_cache.pb.h"

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include <openssl/evp.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace upd {

const char* const checker_t::cache_name = "tavik-update.cache";

namespace {

boost::system::error_code last_error() {
    return boost::system::error_code(errno, boost::system::system_category());
}

class fd_guard_t {
public:
    explicit fd_guard_t(int fd) : fd_(fd) {}
    ~fd_guard_t() {
        if (fd_ >= 0) ::close(fd_);
    }
    fd_guard_t(const fd_guard_t&) = delete;
    fd_guard_t& operator=(const fd_guard_t&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// One running digest computation.
class digest_t {
public:
    explicit digest_t(const EVP_MD* md) : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), md, nullptr) != 1) {
            throw std::runtime_error("EVP_DigestInit_ex failed");
        }
    }
    void update(const void* data, std::size_t size) {
        if (EVP_DigestUpdate(ctx_.get(), data, size) != 1) {
            throw std::runtime_error("EVP_DigestUpdate failed");
        }
    }
    std::string final() {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(ctx_.get(), md, &size) != 1) {
            throw std::runtime_error("EVP_DigestFinal_ex failed");
        }
        return std::string(reinterpret_cast<const char*>(md), size);
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx_;
};

// stat(2); false when the file does not exist, filesystem_error ("stat") for any other failure.
bool stat_existing(const boost::filesystem::path& path, struct stat& st) {
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT) return false;
    throw boost::filesystem::filesystem_error("stat", path, last_error());
}

// The identity is kept in 32 bits each, as the cache file's readers expect.
bool same_identity(const checker_t::record_t& record, const struct stat& st) {
    return record.dev == static_cast<std::uint32_t>(st.st_dev) &&
           record.ino == static_cast<std::uint32_t>(st.st_ino) &&
           record.ctime == static_cast<std::int32_t>(st.st_ctime);
}

}  // namespace

checker_t::checker_t(const boost::filesystem::path& directory)
    : cache_path_(directory / cache_name) {
    load();
}

checker_t::~checker_t() { save(); }

void checker_t::add(const std::vector<boost::filesystem::path>& paths) {
    paths_.insert(paths.begin(), paths.end());
}

void checker_t::hash_all(progress_t& progress) {
    std::vector<std::pair<boost::filesystem::path, std::uint32_t>> pending;
    for (const auto& path : paths_) {
        boost::this_thread::interruption_point();
        struct stat st;
        if (!stat_existing(path, st)) continue;
        auto it = cache_.find(path);
        if (it != cache_.end() && same_identity(it->second, st)) continue;
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

std::string checker_t::sha256(const boost::filesystem::path& path) { return digests(path).first; }

std::string checker_t::md5(const boost::filesystem::path& path) { return digests(path).second; }

checker_t::digests_t checker_t::digests(const boost::filesystem::path& path) {
    // Taken before the stat: a change made after it, even within the second of an earlier
    // change, can then never hide behind an unchanged ctime in the cache.
    const std::time_t now = std::time(nullptr);
    struct stat st;
    if (!stat_existing(path, st)) return digests_t();

    auto it = cache_.find(path);
    if (it != cache_.end()) {
        if (same_identity(it->second, st)) return digests_t(it->second.sha256, it->second.md5);
        cache_.erase(it);
    }

    digests_t result = hash_file(path);
    if (now > st.st_ctime) {
        record_t& record = cache_[path];
        record.dev = static_cast<std::uint32_t>(st.st_dev);
        record.ino = static_cast<std::uint32_t>(st.st_ino);
        record.ctime = static_cast<std::int32_t>(st.st_ctime);
        record.sha256 = result.first;
        record.md5 = result.second;
    }
    return result;
}

checker_t::digests_t checker_t::hash_file(const boost::filesystem::path& path) {
    try {
        digest_t sha256(EVP_sha256());
        digest_t md5(EVP_md5());
        fd_guard_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) throw boost::system::system_error(last_error(), "open");
        char buffer[chunk_size];
        for (;;) {
            ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) continue;
                // The digest of the bytes read so far would describe a file that does not exist.
                throw boost::system::system_error(last_error(), "read");
            }
            if (n == 0) break;
            sha256.update(buffer, static_cast<std::size_t>(n));
            md5.update(buffer, static_cast<std::size_t>(n));
        }
        std::string sha = sha256.final();
        return digests_t(std::move(sha), md5.final());
    } catch (const std::exception& e) {
        LOG_ERROR("HASH: " << path << ": " << exception_text(e));
        throw tvk::EC_IO_ERROR;
    }
}

void checker_t::load() {
    try {
        fd_guard_t fd(::open(cache_path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) throw boost::system::system_error(last_error(), "open");
        Cache message;
        if (!message.ParseFromFileDescriptor(fd.get())) throw std::runtime_error("invalid format");
        for (const FileCrc& crc : message.crcs()) {
            record_t& record = cache_[boost::filesystem::path(crc.path())];
            record.dev = static_cast<std::uint32_t>(crc.dev());
            record.ino = static_cast<std::uint32_t>(crc.ino());
            record.ctime = static_cast<std::int32_t>(static_cast<std::uint32_t>(crc.ctime()));
            record.sha256 = crc.sha256();
            record.md5 = crc.md5();
        }
        LOG_DEBUG("Checker: " << message.crcs_size() << " records loaded");
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
    try {
        try {
            fd_guard_t fd(::open(cache_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            if (fd.get() < 0) throw boost::system::system_error(last_error(), "open");
            Cache message;
            for (const auto& entry : cache_) {
                // Records of files that are gone would only grow the cache. A file that merely
                // cannot be looked at now keeps its record.
                struct stat st;
                if (::stat(entry.first.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
                    continue;
                }
                const record_t& record = entry.second;
                FileCrc* crc = message.add_crcs();
                crc->set_path(entry.first.string());
                crc->set_dev(record.dev);
                crc->set_ino(record.ino);
                crc->set_ctime(static_cast<std::uint64_t>(static_cast<std::int64_t>(record.ctime)));
                crc->set_sha256(record.sha256);
                crc->set_md5(record.md5);
            }
            if (!message.SerializeToFileDescriptor(fd.get())) {
                throw std::runtime_error("serializaition failed");
            }
        } catch (const std::exception& e) {
            LOG_WARNING("Cache: " << cache_path_ << ": " << exception_text(e));
        }
    } catch (...) {
        // Saving is best effort; a destructor must not throw.
    }
}

}  // namespace upd
