// LST reader: raw bytes, and bytes used as the body of a correctly signed list so that the line
// parser behind the signature check is reached. Parsed names stay inside the zone directory.
#include "files/lst_file.hpp"
#include "framework/cf_proto_exception.hpp"
#include "fuzz/quiet_log.hpp"
#include "fuzz/signed_input.hpp"

#include <boost/lexical_cast.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, std::string(prefix).size(), prefix) == 0; }

void check_names(const upd::lst_file_t& lst) {
    for (const auto& file : lst.files()) {
        const std::string& name = file.first;
        if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\\0", 0, 3) != std::string::npos)
            std::abort();
        if (!lst.contains(name) || lst.size_of(name) != file.second.size) std::abort();
        lst.matches_patterns(name);
    }
    for (const auto& pattern : lst.patterns())
        if (pattern.empty() || pattern.find('/') != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::install_quiet_log();
    if (size == 0) return 0;
    const bool wrap = data[0] & 1;
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (wrap) {
        bytes = "[TavikUpdateList]\r\n[20261206]\r\n" + bytes + "[TavikUpdateListEnd]\r\n";
        bytes += "\r\n[Signature]\r\nSignature=" + fuzz::sign(bytes) + "\r\n";
    }
    upd::lst_file_t lst;
    try {
        lst.parse(bytes.data(), bytes.data() + bytes.size());
        check_names(lst);
        lst.apply_excludes(lst.patterns());
    } catch (const cf_proto_exception_t& e) {
        if (e.code() != tvk::EC_BAD_LST_FILE) std::abort();
        // A signed list with a body reaches the lines; only they can be wrong.
        const std::string what = e.what();
        if (wrap && size > 1 && !starts_with(what, "Invalid LST-file line: \"") && what != "Empty LST-file")
            std::abort();
    } catch (const boost::bad_lexical_cast&) {
        // A size above 32 bits.
    }
    return 0;
}
