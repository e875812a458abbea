// Ordered list of HTTP header lines, shared by requests and responses.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace upd {

// Keeps insertion order, duplicates and the letter case of names as written.
class http_headers_t {
public:
    using value_type = std::pair<std::string, std::string>;
    using const_iterator = std::vector<value_type>::const_iterator;

    void add(const std::string& name, const std::string& value);
    void append(const http_headers_t& other);

    // Value of the first header whose name matches byte for byte; an empty string when absent.
    const std::string& find(const std::string& name) const;

    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }
    std::size_t size() const { return items_.size(); }

private:
    std::vector<value_type> items_;
};

}  // namespace upd
