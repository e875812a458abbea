// INI reader: raw bytes, and bytes followed by a signature section that signs them. Errors carry
// a position inside the input; fallback URLs hold no comment and no LF (a CR inside a line stays).
#include "files/ini.hpp"
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
    if (wrap) bytes += "\r\n[Signature]\r\nSignature=" + fuzz::sign(bytes) + "\r\n";
    try {
        for (const std::string& url : upd::ini::parse(bytes.data(), bytes.data() + bytes.size())) {
            if (url.find_first_of("#;\n") != std::string::npos) std::abort();
            const std::string blanks(" \t\r");
            if (!url.empty() && (blanks.find(url.front()) != std::string::npos || blanks.find(url.back()) != std::string::npos))
                std::abort();
        }
    } catch (const upd::ini::parse_error_t& e) {
        if (e.line() < 1 || e.column() < 1 || e.offset() > bytes.size()) std::abort();
        // The part before our own signature section is signed: only its syntax can be wrong,
        // and the position counts from the first byte: line and column of a non-blank byte.
        if (wrap && size > 1) {
            if (std::string(e.what()) == "Invalid signature" || e.offset() >= bytes.size()) std::abort();
            const std::string before = bytes.substr(0, e.offset());
            const std::size_t line_start = before.rfind('\n') == std::string::npos ? 0 : before.rfind('\n') + 1;
            if (e.line() != 1 + std::count(before.begin(), before.end(), '\n') ||
                e.column() != e.offset() - line_start + 1 || std::string(" \t\r\n").find(bytes[e.offset()]) != std::string::npos)
                std::abort();
        }
    }
    return 0;
}
