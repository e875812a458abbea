// A file of a mirror asked for packed first (NAME.lzma), and plain when the packed form cannot serve.
#pragma once

#include <exception>

namespace upd {
namespace packed_form {

// Whether the failure of a packed form sends the request on to the plain file: none there, a
// damaged container, or one cut at the limit (it could never unpack).
bool unusable(const std::exception& e);

// What `packed()` brings; else, when it failed for one of those reasons, what `plain()` brings.
template <class Packed, class Plain>
auto or_plain(Packed packed, Plain plain) -> decltype(plain()) {
    try {
        return packed();
    } catch (const std::exception& e) {
        if (!unusable(e)) throw;
    }
    return plain();
}

}  // namespace packed_form
}  // namespace upd
