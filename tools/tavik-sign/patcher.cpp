// The patches of make-zone: zstd frames from the earlier versions of the zone's files to this run's.
#include "tools/tavik-sign/patcher.hpp"

#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/file_source.hpp"

#include "files/apply_patch.hpp"
#include "files/mirror_tree.hpp"
#include "files/patch_index.hpp"
#include "framework/digest.hpp"

#include <zstd.h>
#include <zstd_errors.h>

#include <boost/filesystem/operations.hpp>

#include <sys/stat.h>

#include <memory>
#include <new>

namespace fs = boost::filesystem;

namespace sign {

namespace {

// zstd's level 9: on a 100 MiB file with 1% changed it makes the same patch as every level up to
// 15 in about a second, and a few percent smaller ones than the faster levels where the new bytes
// compress; levels 16 and up lose most matches into a long reference.
constexpr int patch_level = 9;

// The patch that makes `target` of `reference`: one frame with the reference as its raw prefix,
// long-distance matching, a window over both, the content size and a checksum. Empty when it
// would take more than `capacity` bytes.
std::string encode_patch(const std::string& reference, const std::string& target, std::size_t capacity) {
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    if (!cctx) throw std::bad_alloc();
    const std::pair<ZSTD_cParameter, int> parameters[] = {
        {ZSTD_c_compressionLevel, patch_level},
        {ZSTD_c_enableLongDistanceMatching, 1},
        {ZSTD_c_windowLog, static_cast<int>(upd::patch_window_log(reference.size(), target.size()))},
        {ZSTD_c_checksumFlag, 1}};
    size_t r = 0;
    for (const auto& p : parameters)
        if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(cctx.get(), p.first, p.second);
    if (!ZSTD_isError(r)) r = ZSTD_CCtx_refPrefix(cctx.get(), reference.data(), reference.size());
    // Left uninitialised: only the pages that the frame fills are ever touched.
    std::unique_ptr<char[]> frame(new char[capacity + 1]);
    if (!ZSTD_isError(r)) r = ZSTD_compress2(cctx.get(), frame.get(), capacity, target.data(), target.size());
    if (ZSTD_getErrorCode(r) == ZSTD_error_dstSize_tooSmall) return "";
    if (ZSTD_isError(r)) throw std::runtime_error(std::string("zstd encoder failed: ") + ZSTD_getErrorName(r));
    return std::string(frame.get(), r);
}

// Whether a regular file stands at `path` whose size is at most `max`.
bool regular_file(const fs::path& path, std::uint64_t max = ~std::uint64_t(0)) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) <= max;
}

}  // namespace

bool patcher_t::wanted(const std::string& name) const {
    for (const std::string& dir : previous_)
        if (regular_file(fs::path(dir) / name)) return true;
    return false;
}

void patcher_t::make(const std::string& name, const upd::lst_file_t::entry_t& entry, const std::string& target) {
    if (entry.size > upd::max_patched_size || target.size() != entry.size) return;
    const std::string new_hex = to_hex(entry.digest);
    std::set<std::string> seen{new_hex};
    for (const std::string& dir : previous_) {
        // A version too large to patch from is not read.
        if (!regular_file(fs::path(dir) / name, upd::max_patched_size)) continue;
        std::string reference;
        upd::lst_file_t::entry_t old;
        stream_file((fs::path(dir) / name).string(), "", "", false, old, &reference);
        if (reference.size() != old.size) continue;  // grown meanwhile beyond that size
        const std::string old_hex = to_hex(old.digest);
        if (!seen.insert(old_hex).second) continue;
        const std::string patch_name = upd::patch_index_t::patch_path(old_hex, new_hex);
        // Tried already for a file of the same bytes under another name.
        auto tried = tried_.find(patch_name);
        if (tried == tried_.end()) {
            const std::string patch =
                encode_patch(reference, target, static_cast<std::size_t>(entry.size == 0 ? 0 : (entry.size - 1) / 2));
            tried = tried_.emplace(patch_name, patch.size()).first;
            if (!patch.empty()) {
                published_.add(patch_name);
                fs::create_directories((out_ / patch_name).parent_path());
                write_output((out_ / patch_name).string(), patch);
            }
        }
        if (tried->second) lines_.insert(upd::patch_index_t::line(name, old_hex, new_hex, tried->second));
    }
}

std::size_t patcher_t::write_index() const {
    std::string text;
    for (const std::string& line : lines_) text += line;
    fs::create_directories(out_ / upd::mirror_tree::patches);
    write_output((out_ / upd::mirror_tree::patch_index).string(), text);
    return lines_.size();
}

}  // namespace sign
