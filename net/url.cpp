// URL value type of the network client: scheme, host, port and path, split and printed back.
#include "net/url.hpp"

#include <cstdlib>

namespace upd {

url_t::url_t() : port_(0) {}

url_t::url_t(const std::string& text) : port_(0) { parse(text); }

url_t::url_t(std::string base, const std::string& file) : port_(0), server_(base) {
    if (base.empty()) return;
    if (base.back() != '/') base += '/';
    base += file;
    parse(base);
}

url_t url_t::with_suffix(const std::string& suffix) const {
    url_t url(*this);
    url.path_ += suffix;
    return url;
}

void url_t::parse(const std::string& text) {
    scheme_.clear();
    host_.clear();
    port_ = 0;
    path_.clear();
    if (text.empty()) return;

    std::string rest = text;
    const std::string::size_type p = rest.find("://");
    if (p != std::string::npos) {
        scheme_ = rest.substr(0, p);
        rest.erase(0, p + 3);
    }

    std::string authority;
    const std::string::size_type q = rest.find('/');
    if (q != std::string::npos) {
        authority = rest.substr(0, q);
        path_ = rest.substr(q + 1);
    } else {
        authority = rest;
    }

    const std::string::size_type c = authority.find(':');
    if (c != std::string::npos) {
        host_ = authority.substr(0, c);
        const std::string port_text = authority.substr(c + 1);
        if (!port_text.empty()) {
            // Whatever a 64-bit strtoll makes of it, kept to 16 bits: a URL never fails to parse, and
            // 32- and 64-bit builds read the same port.
            const long long value = std::strtoll(port_text.c_str(), nullptr, 10);
            port_ = static_cast<std::uint16_t>(static_cast<unsigned long long>(value) & 0xFFFFu);
        }
    } else {
        host_ = authority;
    }
}

std::string url_t::to_string() const {
    return (scheme_.empty() ? "" : scheme_ + "://") + host_ + (port_ != 0 ? ":" + std::to_string(port_) : "") +
           (path_.empty() ? "" : "/" + path_);
}

}  // namespace upd
