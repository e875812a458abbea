// The stamp of the file list each zone was last installed from: no mirror takes a zone back.
#pragma once

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <map>
#include <string>

namespace upd {

// "ZONE STAMP" lines, one per zone, in the update folder. The run-as account can write there, so
// the file is bounded, read without following it anywhere special, and a damaged one only costs
// the protection, never an update.
class stamps_file_t {
public:
    using stamps_t = std::map<std::string, std::string>;  // zone name -> list stamp (decimal digits)
    static constexpr std::size_t max_size = 65536;

    // Throws std::runtime_error naming the first line that is not "ZONE STAMP".
    static stamps_t parse(const char* begin, const char* end);
    static std::string format(const stamps_t& stamps);

    // No file: nothing recorded yet. One that cannot be read or parsed: a Warning naming it, and
    // nothing recorded.
    static stamps_t load(const boost::filesystem::path& path);
    // Written beside it, flushed to the disk and renamed over it: the old record or the new one,
    // never a torn one. Throws on failure.
    static void save(const boost::filesystem::path& path, const stamps_t& stamps);
};

}  // namespace upd
