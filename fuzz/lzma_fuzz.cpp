// LZMA: any bytes unpack to the stated size or fail with EC_BAD_LZMA_FILE; (first bit set) packed
// bytes unpack to themselves.
#include "files/lzma_decompress.hpp"
#include "framework/error_code.hpp"
#include "fuzz/fuzz_support.hpp"
#include "tools/tavik-sign/packer.hpp"

#include <boost/system/system_error.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::install_quiet_log();
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        const std::string packed = sign::lzma_pack(rest);
        const std::vector<char> out = upd::lzma_decompress(packed.data(), packed.data() + packed.size());
        if (std::string(out.begin(), out.end()) != rest) std::abort();
        return 0;
    }
    try {
        const std::vector<char> out = upd::lzma_decompress(rest.data(), rest.data() + rest.size());
        std::uint64_t stated = 0;
        for (int i = 0; i < 8; ++i) stated |= std::uint64_t(std::uint8_t(rest[5 + i])) << (8 * i);
        if (out.size() != stated || stated > upd::max_in_memory) std::abort();
    } catch (const boost::system::system_error& e) {
        if (e.code() != tvk::make_error_code(tvk::EC_BAD_LZMA_FILE)) std::abort();
    }
    return 0;
}
