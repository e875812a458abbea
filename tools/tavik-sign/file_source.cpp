// The files of make-zone read once, in chunks, for their list entries, copies, packed forms and patches.
#include "tools/tavik-sign/file_source.hpp"

#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/packer.hpp"

#include "framework/digest.hpp"
#include "framework/fd_io.hpp"
#include "framework/limits.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace sign {

namespace {

// One file read in chunks, each of them fed to the SHA-256 digest and, when asked, to a copy and,
// when the file is small enough to patch, to a buffer of the whole.
class file_source_t {
public:
    file_source_t(std::string path, file_replacement_t* copy, std::string* whole)
        : path_(std::move(path)), copy_(copy) {
        boost::system::error_code ec;
        struct stat st;
        fd_.reset(open_regular(path_.c_str(), ec, &st));
        if (fd_.get() < 0) throw std::runtime_error("cannot read " + quoted(path_) + ": " + ec.message());
        size_ = static_cast<std::uint64_t>(st.st_size);
        // List sizes are 32-bit; a bigger file could never be described, so it is not read.
        if (size_ > 0xffffffffu) throw std::runtime_error(quoted(path_) + " is larger than 4 GiB");
        if (whole && size_ <= upd::max_patched_size) keep_ = whole, keep_->reserve(static_cast<std::size_t>(size_));
    }
    std::uint64_t size() const { return size_; }

    // At most `max` bytes; 0 once the size found at the start is read.
    std::size_t read(void* buffer, std::size_t max) {
        max = static_cast<std::size_t>(std::min<std::uint64_t>(max, size_ - done_));
        if (max == 0) return 0;
        ssize_t n;
        do n = ::read(fd_.get(), buffer, max);
        while (n < 0 && errno == EINTR);
        if (n < 0) throw std::runtime_error("cannot read " + quoted(path_) + ": " + std::strerror(errno));
        if (n == 0) throw std::runtime_error(quoted(path_) + " became shorter while it was read");
        sha_.update(buffer, static_cast<std::size_t>(n));
        if (copy_) copy_->append(buffer, static_cast<std::size_t>(n));
        if (keep_) keep_->append(static_cast<const char*>(buffer), static_cast<std::size_t>(n));
        done_ += static_cast<std::uint64_t>(n);
        return static_cast<std::size_t>(n);
    }

    // The list entry, once every byte is read; a file changed meanwhile would not match it.
    upd::lst_file_t::entry_t entry() {
        struct stat st;
        if (::fstat(fd_.get(), &st) != 0)
            throw std::runtime_error("cannot read " + quoted(path_) + ": " + std::strerror(errno));
        if (done_ != size_ || static_cast<std::uint64_t>(st.st_size) != size_) {
            throw std::runtime_error(quoted(path_) + " changed while it was read");
        }
        return {sha_.finish(), static_cast<std::uint32_t>(size_), false};
    }

private:
    std::string path_;
    file_replacement_t* copy_;
    std::string* keep_ = nullptr;
    fd_guard_t fd_;
    std::uint64_t size_ = 0, done_ = 0;
    cf_digest_t sha_;
};

}  // namespace

bool stream_file(const std::string& path, const std::string& copy, const std::string& packed, bool pack,
                 upd::lst_file_t::entry_t& entry, std::string* whole) {
    std::unique_ptr<file_replacement_t> copy_file(copy.empty() ? nullptr : new file_replacement_t(copy, output_mode));
    file_source_t source(path, copy_file.get(), whole);
    std::unique_ptr<file_replacement_t> packed_file(
        pack && source.size() <= upd::max_in_memory ? new file_replacement_t(packed, output_mode) : nullptr);
    const auto read = [&source](void* buffer, std::size_t max) { return source.read(buffer, max); };
    if (packed_file) pack_stream(source.size(), read, *packed_file);
    char buffer[65536];
    while (read(buffer, sizeof buffer) != 0) {  // all of the file when it is not packed
    }
    entry = source.entry();
    // A container no smaller than the file would only cost every client its unpacking: the list
    // says the file is plain instead.
    struct stat st;
    if (packed_file && ::fstat(packed_file->descriptor(), &st) != 0)
        throw std::runtime_error("cannot read back " + quoted(packed) + ": " + std::strerror(errno));
    if (packed_file && static_cast<std::uint64_t>(st.st_size) >= source.size()) packed_file.reset();
    entry.packed = packed_file != nullptr;
    if (copy_file) copy_file->commit();
    if (packed_file) packed_file->commit();
    return entry.packed;
}

}  // namespace sign
