// DRL reader: raw bytes, and bytes followed by their own "sign=" line. URLs come out trimmed,
// single-line and unique, and shuffling keeps them all.
#include "files/drl_file.hpp"
#include "framework/cf_proto_exception.hpp"
#include "fuzz/quiet_log.hpp"
#include "fuzz/signed_input.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::install_quiet_log();
    if (size == 0) return 0;
    const bool wrap = data[0] & 1;
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (wrap) {
        if (!bytes.empty() && bytes.back() != '\n' && bytes.back() != '\r') bytes += '\n';
        bytes += "sign=" + fuzz::sign(bytes) + "\r\n";
    }
    upd::drl_file_t drl;
    try {
        drl.parse(bytes.data(), bytes.data() + bytes.size());
        for (const std::string& url : drl.urls()) {
            if (url.find_first_of("\r\n") != std::string::npos) std::abort();
            if (!url.empty() && (std::string(" \t").find(url.front()) != std::string::npos ||
                                 std::string(" \t").find(url.back()) != std::string::npos))
                std::abort();
        }
        std::vector<std::string> shuffled = drl.shuffled_urls();
        std::sort(shuffled.begin(), shuffled.end());
        if (!std::equal(shuffled.begin(), shuffled.end(), drl.urls().begin(), drl.urls().end())) std::abort();
    } catch (const cf_proto_exception_t& e) {
        if (e.code() != tvk::EC_BAD_DRL_FILE) std::abort();
        // Our own signature fails only when an earlier "sign=" line ended the signed range.
        if (wrap && size > 1 && std::string(e.what()) != "Invalid DRL-file format" &&
            bytes.find("sign=") == bytes.rfind("sign="))
            std::abort();
    }
    return 0;
}
