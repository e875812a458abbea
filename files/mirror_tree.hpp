// The names of a zone's tree on its mirrors, relative to each base URL of the zone's server list.
#pragma once

namespace upd {
namespace mirror_tree {

constexpr char list[] = "version.lst";              // the signed file list
constexpr char packed_list[] = "version.lst.lzma";  // the same, packed: asked for first
constexpr char packed_suffix[] = ".lzma";           // NAME.lzma: a listed file packed, beside it
constexpr char server_list[] = "update.drl";        // the signed server list, as the fallback asks for it
constexpr char zone_ini[] = "zone.ini";             // the signed fallback servers of the zone
constexpr char patches[] = "patches";               // the folder of patches and their index
constexpr char patch_index[] = "patches/index";     // which patches there are: not signed, not trusted
constexpr char patch_suffix[] = ".zst";             // patches/OLD-NEW.zst

}  // namespace mirror_tree
}  // namespace upd
