// Any bytes as a patch, at any listed size: a file of exactly that size or EC_DATA_CORRUPTED.
#include "files/apply_patch.hpp"
#include "framework/cf_proto_exception.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string reference = [] {
        std::string r(65536, '\0');
        for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<char>((i * 2654435761u) >> 13);
        return r;
    }();
    if (size < 2) return 0;
    const std::uint64_t listed = (std::uint64_t(data[0]) << 8 | data[1]) * 4;  // up to 256 KiB
    try {
        const auto out = upd::apply_patch(reference.data(), reference.size(), reinterpret_cast<const char*>(data) + 2,
                                          size - 2, listed);
        if (out.size() != listed) std::abort();
    } catch (const cf_proto_exception_t& e) {
        if (e.code() != tvk::EC_DATA_CORRUPTED) std::abort();
    }
    return 0;
}
