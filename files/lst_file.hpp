// The signed list of a zone's files (name, SHA-256, size) and of the name patterns of the zone.
#pragma once

#include "files/ed25519_key.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace upd {

// Whether list stamp a is lower than b, by value: decimal digits of any length, leading zeros ignored.
bool stamp_less(const std::string& a, const std::string& b);
// Whether one of the name patterns (fnmatch, no escapes) accepts the name; an invalid pattern
// accepts nothing and, when `where` is given, is named in a Debug line.
bool matches_any(const std::vector<std::string>& patterns, const std::string& name, const char* where = nullptr);

class lst_file_t {
public:
    // "timestamp" marks a zone's version: a few bytes, so it is never packed (a container would
    // outweigh it), and it is the first of its zone's downloads.
    static bool is_timestamp(const std::string& name) { return name == "timestamp"; }
    // A longer stamp could not be recorded (the stamps file is bounded): such a list is damaged.
    static constexpr std::size_t max_stamp_digits = 64;
    // The fixed lines of the layout: the header, the trailer that ends the signed part, and the
    // signature part's header and the beginning of its line.
    static constexpr char header[] = "[TavikUpdateList]", trailer[] = "[TavikUpdateListEnd]";
    static constexpr char signature_header[] = "[Signature]", signature_begin[] = "Signature=";
    // The expiry travels as a pattern line "-.tavik-expires,YYYYMMDDHHMMSS" (UTC): readers built
    // without it take it for a pattern and ignore what follows the comma.
    static constexpr char expiry_pattern[] = ".tavik-expires";

    struct entry_t {
        std::string digest;  // raw bytes of the listed digest; empty for an odd digit count
        std::uint32_t size = 0;
    };
    using files_t = std::map<std::string, entry_t>;

    // The text that a list signs: the header, "[stamp]", a "+name, digest, size" line per file in
    // name order, a "-pattern," line per pattern and the expiry line (unless `expiry` is empty),
    // then the trailer; each line ends with LF.
    static std::string unsigned_text(const std::string& stamp, const files_t& files,
                                     const std::vector<std::string>& patterns, const std::string& expiry = "");
    // The covered bytes and the signature text of a text laid out as a signed list, nothing of it
    // checked; false when it is not laid out so.
    static bool split_signed(const std::string& text, std::string& covered, std::string& signature);

    // Checks the layout and the signature, then reads the body lines; throws
    // cf_proto_exception_t (EC_BAD_LST_FILE) on failure. Every list comes from a server: with
    // `strong` keys, an Ed25519 part by one of them is required beside the DSA signature.
    void parse(const char* begin, const char* end, const ed25519_keys_t& strong = built_in_ed25519_keys());

    bool contains(const std::string& name) const;
    std::string digest_of(const std::string& name) const;
    std::uint32_t size_of(const std::string& name) const;
    std::vector<std::string> names() const;
    std::vector<std::string> names_matching(const std::string& pattern) const;
    // True when one of the list's removal patterns accepts the name.
    bool matches_patterns(const std::string& name) const;
    // Drops every listed file that one of the patterns accepts.
    void apply_excludes(const std::vector<std::string>& excludes);

    const files_t& files() const { return files_; }
    const std::vector<std::string>& patterns() const { return patterns_; }
    // The list's stamp: decimal digits that the publisher raises with every list.
    const std::string& stamp() const { return stamp_; }
    // Its expiry as the list writes it (YYYYMMDDHHMMSS, UTC), and in seconds since 1970; a list
    // without one ("") never expires.
    const std::string& expiry() const { return expiry_; }
    long long expires_at() const { return expires_at_; }
    // Whether it expired by `now`, with an allowance of an hour for the clocks of publisher and
    // machine; the stamp is never held against the clock.
    bool expired(long long now) const { return !expiry_.empty() && expires_at_ + 3600 < now; }

private:
    files_t files_;
    std::string stamp_, expiry_;
    long long expires_at_ = 0;
    std::vector<std::string> patterns_;
};

}  // namespace upd
