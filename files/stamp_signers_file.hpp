// Which keys signed the list that set each zone's recorded stamp: a stolen key's stamp can be dropped.
#pragma once

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace upd {

// "ZONE KEYID,KEYID..." lines, one per zone, in the update folder beside the stamps file, which
// keeps its own format for builds that do not know this one. The KEYIDs are those of the build's
// keys whose parts verified the list that set the zone's stamp; a stamp set without them (by a list
// taken on the DSA signature alone) has no line. The run-as account can write there: a line that is
// not of this form loses that record only.
class stamp_signers_file_t {
public:
    using signers_t = std::map<std::string, std::vector<std::string>>;  // zone name -> KEYIDs
    static constexpr std::size_t max_size = 65536;

    // The records of the text; a malformed line costs a Debug line and that record.
    static signers_t parse(const char* begin, const char* end);
    static std::string format(const signers_t& signers);

    // No file: nothing recorded. One that cannot be read: a Warning naming it, and nothing recorded.
    static signers_t load(const boost::filesystem::path& path);
    // Written beside it and renamed over it; throws on failure.
    static void save(const boost::filesystem::path& path, const signers_t& signers);
};

}  // namespace upd
