// The names of what the updater keeps in its work folder (update_dir).
#pragma once

namespace upd {
namespace work_folder {

constexpr char cache[] = "tavik-update.cache";                // digests of the installed files
constexpr char stamps[] = "tavik-update.stamps";              // each zone's last installed list stamp
constexpr char stamp_signers[] = "tavik-update.stamps.keys";  // the keys that signed each stamp's list
constexpr char servers[] = "tavik-update.servers";            // servers that asked to be left alone, until when
constexpr char report[] = "tavik-update.report";              // what the last attempt did
constexpr char lock[] = "tavik-update.lock";                  // held by the run under way
// A download under way: NAME.part, renamed to NAME once complete, continued when cut.
constexpr char part_suffix[] = ".part";
// A file's packed form (NAME.lzma), and a patch to it (NAME.patch), beside it in the zone's folder.
constexpr char packed_suffix[] = ".lzma";
constexpr char patch_suffix[] = ".patch";

}  // namespace work_folder
}  // namespace upd
