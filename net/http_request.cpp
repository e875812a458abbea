// Head of an HTTP request and its serialised form.
#include "net/http_request.hpp"

namespace upd {

namespace {

// A CR or LF inside a field would end the line early and let the rest pass as a header of its own.
void append_field(std::string& out, const std::string& field) {
    for (char c : field) out += (c == '\r' || c == '\n') ? ' ' : c;
}

}  // namespace

std::string http_request_t::to_string() const {
    std::string out;
    append_field(out, method);
    out += ' ';
    append_field(out, target.empty() ? "/" : target);
    out += " HTTP/" + std::to_string(version_major) + "." + std::to_string(version_minor) + "\r\n";
    for (const auto& header : headers) {
        append_field(out, header.first);
        out += ": ";
        append_field(out, header.second);
        out += "\r\n";
    }
    out += "\r\n";
    return out;
}

}  // namespace upd
