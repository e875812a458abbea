// URL parsing never fails, and a printed URL parses back to the same fields.
#include "net/url.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const upd::url_t first(std::string(reinterpret_cast<const char*>(data), size));
    const upd::url_t second(first.to_string());
    if (second.scheme() != first.scheme() || second.host() != first.host() || second.port() != first.port() ||
        second.path() != first.path()) {
        // A host holding "/" or "://" cannot survive printing; everything else must.
        if (first.host().find('/') == std::string::npos && first.host().find("://") == std::string::npos &&
            first.scheme().find('/') == std::string::npos)
            std::abort();
    }
    return 0;
}
