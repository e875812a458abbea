// The index of the patches a zone's server offers: which file, from which version, to which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace upd {

class lst_file_t;

// Lines "NAME OLD NEW": a patch turns the file NAME with SHA-256 OLD into the one with NEW (64
// lower-case hex digits each), at the path patch_path(OLD, NEW) beside the list. The index lies at
// mirror_tree::patch_index. The index is not
// signed and nothing in it is trusted: it is read within max_size, a line counts only when NAME is
// in the signed list and both digests are well formed, and no path is ever built from it (a patch's
// path comes from the list's digest and the installed copy's); a patched file is verified against
// the list like any other. A line "= BYTES" after a patch's line gives its length, for estimates
// only (readers before it skip the line as malformed).
class patch_index_t {
public:
    static constexpr std::size_t max_size = 65536;

    // The lines of [begin, end) that satisfy the rules above; the rest is left out.
    void parse(const char* begin, const char* end, const lst_file_t& list);
    bool offers(const std::string& name, const std::string& old_hex, const std::string& new_hex) const;
    // The length the index gives for that patch; 0 when it gives none, one that no run would take
    // (above max_patch_size), or offers no such patch.
    std::uint64_t size_of(const std::string& name, const std::string& old_hex, const std::string& new_hex) const;
    std::size_t size() const { return patches_.size(); }

    // The longest patch a run takes for a file of `listed_size` bytes: a larger one would cost the
    // wire and the memory more than the file, which then comes whole all the same.
    static std::uint64_t max_patch_size(std::uint64_t listed_size) { return listed_size / 2 + 65536; }
    // Where the patch from OLD to NEW lies, relative to the zone's base URL.
    static std::string patch_path(const std::string& old_hex, const std::string& new_hex);
    // Whether `path` is such a path, of two well-formed digests.
    static bool is_patch_path(const std::string& path);
    // The lines of one patch in the index, for the publisher: its length too when given.
    static std::string line(const std::string& name, const std::string& old_hex, const std::string& new_hex,
                            std::uint64_t size = 0);

private:
    std::map<std::tuple<std::string, std::string, std::string>, std::uint64_t> patches_;  // with the length given, or 0
};

}  // namespace upd
