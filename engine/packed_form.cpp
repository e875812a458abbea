// A file of a mirror asked for packed first (NAME.lzma), and plain when the packed form cannot serve.
#include "engine/packed_form.hpp"

#include "framework/error_code.hpp"

namespace upd {

bool packed_form::unusable(const std::exception& e) {
    // The codes as the network and the unpacking raise them: a local file missing is no reason.
    const boost::system::error_code ec = error_code_of(e);
    return ec == tvk::make_error_code(tvk::EC_NO_SUCH_ENTRY) || ec == tvk::make_error_code(tvk::EC_BAD_LZMA_FILE) ||
           ec == tvk::make_error_code(tvk::EC_LIMIT_REACHED);
}

}  // namespace upd
