// What an installation request names, read by whoever writes the request, in the request's order.
#pragma once

#include <functional>
#include <string_view>

namespace upd {

// The files of one request as their holder keeps them: the request is written from it directly,
// once to learn its size and once for its bytes, without a copy of every path in between.
class install_plan_t {
public:
    using place_t = std::function<void(std::string_view destination, std::string_view source)>;
    using path_t = std::function<void(std::string_view path)>;

    virtual ~install_plan_t() = default;
    virtual void each_to_place(const place_t& f) const = 0;
    virtual void each_to_remove(const path_t& f) const = 0;
    virtual void each_up_to_date(const path_t& f) const = 0;
};

}  // namespace upd
