// URL parsing never fails, a printed URL parses back to the same fields, and joining a base with
// or without its trailing slash names the same file.
#include "net/url.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool same(const upd::url_t& a, const upd::url_t& b) {
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port() == b.port() && a.path() == b.path();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const upd::url_t first(text);
    const std::string printed = first.to_string();
    // The one form that cannot survive printing: a text that begins with "://" has an empty
    // scheme, which prints without "://", so a later "://" would then be taken for the scheme's.
    if ((!first.scheme().empty() || printed.find("://") == std::string::npos) && !same(upd::url_t(printed), first))
        std::abort();

    // A base up to the first line feed, a file name after it.
    const std::string::size_type cut = text.find('\n');
    if (cut != std::string::npos && cut > 0 && text[cut - 1] != '/') {
        const std::string base = text.substr(0, cut);
        const std::string file = text.substr(cut + 1);
        if (!same(upd::url_t(base, file), upd::url_t(base + "/", file))) std::abort();
    }
    return 0;
}
