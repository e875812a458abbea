// The work folder's small record files (list stamps, busy servers): bounded, never followed, and
// replaced whole.
#pragma once

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <sys/types.h>

namespace upd {

// Calls `take` with the two parts of each line that is not empty, split at its first space (the
// second is empty without one). A line `take` refuses (false) makes the whole text damaged:
// std::runtime_error "line N is not FORM".
void parse_records(const char* begin, const char* end, const char* form,
                   const std::function<bool(const std::string& first, const std::string& rest)>& take);

// Hands the whole file (at most `max_size` bytes, a regular file reached without a link) to
// `parse`, which throws when the bytes are damaged. No file yet: `parse` is not called. One that
// cannot be read or parsed costs a Warning "WHAT PATH: why; CONSEQUENCE", never the run: the run-as
// account can write there.
void load_record_file(const boost::filesystem::path& path, std::size_t max_size, const char* what,
                      const char* consequence, const std::function<void(const char* begin, const char* end)>& parse);

// Written beside it, flushed to the disk and renamed over it: the old record or the new one, never
// a torn one. Its mode is 0600 less the umask, or exactly `mode` when another is asked for. Throws
// on failure.
void save_record_file(const boost::filesystem::path& path, const std::string& text, mode_t mode = 0600);

}  // namespace upd
