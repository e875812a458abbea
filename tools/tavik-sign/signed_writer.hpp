// The signed files of make-zone: update.drl, zone.ini, and version.lst with its packed form.
#pragma once

#include "tools/tavik-sign/signing_keys.hpp"

#include <vector>

namespace sign {

// Every signature is made here from the run's keys, and checked against their public values
// before the file is written.
class signed_writer_t {
public:
    explicit signed_writer_t(signing_keys_t keys) : keys_(std::move(keys)) {}

    // update.drl with a url= line per URL, zone.ini with a fallback URL line each, at `path`. Each
    // is the file at `kept`, byte for byte, while that holds the same covered text signed under the
    // same keys: a new DSA signature would differ (each has a random nonce), and every client would
    // fetch and install the file again after each publication.
    void write_drl(const std::string& kept, const std::string& path, const std::vector<std::string>& urls) const;
    void write_ini(const std::string& kept, const std::string& path, const std::vector<std::string>& fallbacks) const;
    // The list, signed anew (its stamp rises): first its packed form at PATH.lzma when `pack` and
    // it fits in memory where it is unpacked, then the list itself.
    void write_list(const std::string& path, const std::string& covered, bool pack) const;

    using form_t = std::string (*)(const std::string& covered, const std::string& signature);
    void write_kept(const std::string& kept, const std::string& path, const std::string& covered, form_t form) const;

    const signing_keys_t& keys() const { return keys_; }

private:
    signing_keys_t keys_;
};

}  // namespace sign
