// LST reader: raw bytes, or (first bit set) the body of a signed list, to reach the line parser.
// Parsed names stay inside the zone folder.
#include "files/lst_file.hpp"
#include "framework/cf_proto_exception.hpp"
#include "fuzz/fuzz_support.hpp"

#include <boost/lexical_cast.hpp>

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
        lst.parse(bytes.data(), bytes.data() + bytes.size(), upd::origin_t::server);
        for (const auto& f : lst.files())
            if (f.first.empty() || f.first == "." || f.first == ".." ||
                f.first.find_first_of("/\\\0", 0, 3) != std::string::npos || !lst.contains(f.first) ||
                lst.size_of(f.first) != f.second.size || (lst.matches_patterns(f.first), false))
                std::abort();
        for (const auto& pattern : lst.patterns())
            if (pattern.empty() || pattern.find('/') != std::string::npos) std::abort();
        lst.apply_excludes(lst.patterns());
    } catch (const cf_proto_exception_t& e) {
        // A signed list with a body fails only on its lines.
        const std::string what = e.what();
        if (e.code() != tvk::EC_BAD_LST_FILE ||
            (wrap && size > 1 && what.rfind("Invalid LST-file line: \"", 0) != 0 && what != "Empty LST-file"))
            std::abort();
    } catch (const boost::bad_lexical_cast&) {  // a size above 32 bits
    }
    return 0;
}
