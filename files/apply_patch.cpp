// Applying a patch: a zstd frame that encodes a file against an earlier version of it.
#include "files/apply_patch.hpp"

#include "framework/cf_proto_exception.hpp"

#include <zstd.h>

#include <memory>

namespace upd {

namespace {

[[noreturn]] void refuse_patch(const std::string& why) {
    throw cf_proto_exception_t(tvk::EC_DATA_CORRUPTED, "Patch: " + why);
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
    if (listed_size > max_patched_size || reference_size > max_patched_size) refuse_patch("file too large to patch");
    // The frame states its content size; a patch that claims another is refused before decoding.
    const unsigned long long stated = ZSTD_getFrameContentSize(patch, patch_size);
    if (stated == ZSTD_CONTENTSIZE_ERROR || stated != listed_size) refuse_patch("not a patch to the listed size");
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!dctx) throw std::bad_alloc();
    // No more window than the two files need: a frame that asks for more is refused.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax,
                                            static_cast<int>(patch_window_log(reference_size, listed_size)))) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), reference, reference_size)))
        refuse_patch("decoder refused its parameters");
    std::vector<char> out(static_cast<std::size_t>(listed_size));
    char empty;
    const size_t made =
        ZSTD_decompressDCtx(dctx.get(), out.empty() ? &empty : out.data(), out.size(), patch, patch_size);
    if (ZSTD_isError(made)) refuse_patch(ZSTD_getErrorName(made));
    if (made != out.size()) refuse_patch("decodes to another size");
    return out;
}

}  // namespace upd
