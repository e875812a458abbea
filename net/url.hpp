// URL value type of the network client: scheme, host, port and path, split and printed back.
#pragma once

#include <cstdint>
#include <string>

namespace upd {

// A plain splitter that never fails: any text yields some URL. Port 0 means "none given".
class url_t {
public:
    url_t();
    explicit url_t(const std::string& text);
    // Address of a file under a base URL; an empty base gives the empty URL. The URL keeps the
    // base as its server: each server of a zone has addresses of its own.
    url_t(std::string base, const std::string& file);
    // The same URL with `suffix` after its path (a packed form), of the same server.
    url_t with_suffix(const std::string& suffix) const;

    void parse(const std::string& text);

    const std::string& scheme() const { return scheme_; }
    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    const std::string& path() const { return path_; }
    // The base URL it was made from; empty for one parsed whole.
    const std::string& server() const { return server_; }

    std::string to_string() const;

private:
    std::string scheme_;
    std::string host_;
    std::uint16_t port_;
    std::string path_;
    std::string server_;
};

}  // namespace upd
