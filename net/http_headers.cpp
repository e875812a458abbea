// Ordered list of HTTP header lines, shared by requests and responses.
#include "net/http_headers.hpp"

namespace upd {

void http_headers_t::add(const std::string& name, const std::string& value) { items_.emplace_back(name, value); }

void http_headers_t::append(const http_headers_t& other) {
    // Copy first: appending a list to itself must not read while it grows.
    const std::vector<value_type> copy = other.items_;
    items_.insert(items_.end(), copy.begin(), copy.end());
}

const std::string& http_headers_t::find(const std::string& name) const {
    static const std::string empty;
    for (const auto& item : items_) {
        if (item.first == name) return item.second;
    }
    return empty;
}

}  // namespace upd
