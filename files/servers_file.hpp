// Until when update servers asked not to be asked again (Retry-After), kept across runs.
#pragma once

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <ctime>
#include <map>
#include <string>

namespace upd {

// "SECONDS URL" lines in the work folder: until when (seconds since the epoch, UTC) the server
// with that base URL (as its server list writes it) is not to be asked. The run-as account can
// write there, so the file is bounded and a damaged one only costs the record, never an update.
class servers_file_t {
public:
    using waits_t = std::map<std::string, long long>;  // base URL -> until
    static constexpr std::size_t max_size = 65536;

    // Throws std::runtime_error naming the first line that is not "SECONDS URL" of a URL not named before.
    static waits_t parse(const char* begin, const char* end);
    // The waits that have not ended at `now`, as many as fit in max_size.
    static std::string format(const waits_t& waits, std::time_t now);

    // The waits of the file that end at most max_server_wait after `now`: a longer one was planted
    // there, or recorded by a clock that was ahead, and would silence a healthy server (dropped
    // with a Debug line).
    static waits_t load(const boost::filesystem::path& path, std::time_t now);
    static void save(const boost::filesystem::path& path, const waits_t& waits, std::time_t now);
};

}  // namespace upd
