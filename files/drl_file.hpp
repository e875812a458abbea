// The signed list of a zone's update servers: one URL per "url=" line, signed by a "sign=" line.
#pragma once

#include "files/list_trust.hpp"

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <string>
#include <vector>

namespace upd {

class drl_file_t {
public:
    static const std::string url_line_begin;   // "url="
    static const std::string sign_line_begin;  // "sign="
    // Larger files are refused before a byte of them is read.
    static constexpr std::size_t max_size = 1048576;

    // Reads the whole file and parses it; throws on any failure. `flags` adds open flags
    // (O_NOFOLLOW for a copy in the work folder).
    void load(const boost::filesystem::path& path, origin_t origin, int flags = 0);
    // Parses the bytes and verifies the signature as `trust` requires of a list from `origin`;
    // throws cf_proto_exception_t (EC_BAD_DRL_FILE).
    void parse(const char* begin, const char* end, origin_t origin,
               const list_trust_t& trust = list_trust_t::built_in());

    // The URLs of the signed range in the order of the file, each once; lines after the signature
    // add none.
    const std::vector<std::string>& urls() const { return urls_; }
    // The URLs in a random order drawn from rand(), so that the machines of a fleet spread over
    // the mirrors.
    std::vector<std::string> shuffled_urls() const { return shuffled(urls_); }
    // Any list of servers in such an order.
    static std::vector<std::string> shuffled(std::vector<std::string> urls);
    // The signature text, and the length of the signed range before it (the last file parsed).
    const std::string& signature() const { return signature_; }
    std::size_t signed_size() const { return signed_size_; }

private:
    std::vector<std::string> urls_;
    std::string signature_;
    std::size_t signed_size_ = 0;
};

}  // namespace upd
