// Applying a patch: a zstd frame that encodes a file against an earlier version of it.
#include "files/apply_patch.hpp"

#include "framework/bus_error_trap.hpp"
#include "framework/cf_proto_exception.hpp"
#include "framework/digest.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"
#include "framework/mapped_file.hpp"

#include <boost/filesystem/exception.hpp>

#include <zstd.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace upd {

// test hook: begin
void (*patch_mapped_hook)(int fd) = nullptr;
// test hook: end

namespace {

[[noreturn]] void refuse_patch(const std::string& why) {
    throw cf_proto_exception_t(tvk::EC_DATA_CORRUPTED, "Patch: " + why);
}

using dctx_t = std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)>;

// A decoder for the patch to `listed_size` bytes against the reference, its limits checked.
dctx_t decoder(const char* reference, std::size_t reference_size, const char* patch, std::size_t patch_size,
               std::uint64_t listed_size) {
    if (listed_size > max_patched_size || reference_size > max_patched_size) refuse_patch("file too large to patch");
    // The frame states its content size; a patch that claims another is refused before decoding.
    const unsigned long long stated = ZSTD_getFrameContentSize(patch, patch_size);
    if (stated == ZSTD_CONTENTSIZE_ERROR || stated != listed_size) refuse_patch("not a patch to the listed size");
    dctx_t dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!dctx) throw std::bad_alloc();
    // No more window than the two files need: a frame that asks for more is refused.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax,
                                            static_cast<int>(patch_window_log(reference_size, listed_size)))) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), reference, reference_size)))
        refuse_patch("decoder refused its parameters");
    return dctx;
}

void check_decoded(size_t made, std::size_t size) {
    if (ZSTD_isError(made)) refuse_patch(ZSTD_getErrorName(made));
    if (made != size) refuse_patch("decodes to another size");
}

// One decode call, as bus_error_trap_t runs it.
struct decode_t {
    ZSTD_DCtx* dctx;
    char* out;
    std::size_t out_size;
    const char* patch;
    std::size_t patch_size;
    size_t made;
};

void decode(void* arg) {
    decode_t& d = *static_cast<decode_t*>(arg);
    char empty;
    d.made = ZSTD_decompressDCtx(d.dctx, d.out_size ? d.out : &empty, d.out_size, d.patch, d.patch_size);
}

// Takes the blocks of `size` bytes on disk before they are written through a mapping, where a full
// disk would raise SIGBUS: here it is ENOSPC. A file system that cannot allocate ahead gets zeros.
void allocate(int fd, std::uint64_t size, const std::string& path) {
    if (size == 0) return;
    int rc;
    do rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    while (rc == EINTR);
    if (rc == EINVAL || rc == EOPNOTSUPP || rc == ENOSYS) {
        static const char zeros[65536] = {};
        for (std::uint64_t left = size; left > 0;) {
            const std::size_t n = left < sizeof zeros ? static_cast<std::size_t>(left) : sizeof zeros;
            boost::system::error_code ec;
            write_all(fd, zeros, n, ec);
            if (ec) throw boost::filesystem::filesystem_error("write", path, ec);
            left -= n;
        }
    } else if (rc != 0) {
        throw boost::filesystem::filesystem_error("allocate", path,
                                                  boost::system::error_code(rc, boost::system::system_category()));
    }
}

}  // namespace

unsigned patch_window_log(std::uint64_t reference_size, std::uint64_t size) {
    // From zstd's least window up to one that holds two files of the largest size patched.
    unsigned log = 10;
    while ((std::uint64_t(1) << log) < 2 * max_patched_size && (std::uint64_t(1) << log) < reference_size + size) ++log;
    return log;
}

std::vector<char> apply_patch(const char* reference, std::size_t reference_size, const char* patch,
                              std::size_t patch_size, std::uint64_t listed_size) {
    const dctx_t dctx = decoder(reference, reference_size, patch, patch_size, listed_size);
    std::vector<char> out(static_cast<std::size_t>(listed_size));
    decode_t d{dctx.get(), out.data(), out.size(), patch, patch_size, 0};
    decode(&d);
    check_decoded(d.made, out.size());
    return out;
}

std::string apply_patch_file(const std::string& installed, const char* patch, std::size_t patch_size,
                             std::uint64_t listed_size, const std::string& target) {
    boost::system::error_code ec;
    struct stat before;
    fd_guard_t reference_fd(open_regular(installed.c_str(), ec, &before));
    if (reference_fd.get() < 0) throw boost::filesystem::filesystem_error("open", installed, ec);
    if (before.st_size < 0 || static_cast<std::uint64_t>(before.st_size) > max_patched_size)
        refuse_patch("file too large to patch");
    const mapped_file_t reference(reference_fd.get(), static_cast<std::size_t>(before.st_size), false);
    const dctx_t dctx = decoder(reference.data(), reference.size(), patch, patch_size, listed_size);

    fd_guard_t out_fd(create_fresh(target.c_str(), ec, 0600, O_RDWR));
    if (out_fd.get() < 0) throw boost::filesystem::filesystem_error("open", target, ec);
    allocate(out_fd.get(), listed_size, target);
    const mapped_file_t out(out_fd.get(), static_cast<std::size_t>(listed_size), true);
    // test hook: begin
    if (patch_mapped_hook) patch_mapped_hook(reference_fd.get());
    // test hook: end
    decode_t d{dctx.get(), out.data(), out.size(), patch, patch_size, 0};
    // A copy cut under its mapping faults in the decode; one that merely changed is caught by the
    // result's digest, as a damaged patch is.
    struct stat after;
    if (!bus_error_trap_t::run(decode, &d) || ::fstat(reference_fd.get(), &after) != 0 ||
        after.st_size != before.st_size)
        refuse_patch("the installed copy changed while it was read");
    check_decoded(d.made, out.size());
    std::string digest = cf_digest_t::of(out.data(), out.size());
    if (out_fd.close_checked() != 0) throw boost::filesystem::filesystem_error("write", target, last_errno());
    return digest;
}

}  // namespace upd
