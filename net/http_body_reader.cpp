// Where the body of an HTTP answer ends, and whether its connection may serve the next request.
#include "net/http_body_reader.hpp"

#include "net/http_fields.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace upd {

void http_body_reader_t::start(const http_response_t& head, bool keep_alive, boost::optional<std::uint64_t> limit) {
    *this = http_body_reader_t();
    limit_ = limit;
    const std::string& coding = header_value(head.headers(), "Transfer-Encoding");
    const std::string last = coding.substr(coding.find_last_of(',') + 1);  // npos + 1: from 0
    chunked_ = boost::algorithm::iequals(boost::algorithm::trim_copy(last), "chunked");
    length_ = coding.empty() ? content_length(head.headers()) : boost::none;
    // A body that ends only at the close, or whose length two headers tell, ends the connection.
    keeps_ = keep_alive && keeps_connection(head) && (chunked_ || length_) &&
             (coding.empty() || header_value(head.headers(), "Content-Length").empty());
    ended_ = length_ && *length_ == 0;
}

http_body_reader_t::result_t http_body_reader_t::take(std::vector<char>& bytes) {
    bool extra = false;
    if (chunked_) {
        const boost::optional<std::uint64_t> limit = draining_ ? boost::make_optional(max_drained) : limit_;
        if ((wire_ += bytes.size()) > (limit ? 2 * *limit + 65536 : UINT64_MAX)) return framing_too_large;
        std::size_t consumed = 0, produced = 0;
        const auto result = chunks_.decode(bytes.data(), bytes.size(), consumed, produced);
        if (result == http_chunked_parser_t::invalid) return invalid;
        if (result == http_chunked_parser_t::overlong) return framing_too_large;
        ended_ = result == http_chunked_parser_t::complete, extra = consumed < bytes.size();
        bytes.resize(produced);
    } else if (length_ && bytes.size() >= *length_ - received_) {
        // Bytes beyond the announced length are not this body's.
        extra = bytes.size() > *length_ - received_;
        bytes.resize(static_cast<std::size_t>(*length_ - received_));
        ended_ = true;
    }
    received_ += bytes.size();
    if (draining_ && received_ > max_drained) return overdrawn;
    clean_ = ended_ && !extra;
    return ended_ ? complete : incomplete;
}

std::string http_body_reader_t::close() {
    // A body of announced length, or chunked, that ends before its end is cut, not complete.
    if ((length_ && received_ < *length_) || chunked_) {
        return "cut after " + std::to_string(offset_ + received_) +
               (length_ ? " of " + std::to_string(offset_ + *length_) : std::string()) + " bytes";
    }
    ended_ = clean_ = true;
    return std::string();
}

}  // namespace upd
