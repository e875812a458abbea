// The signed list of a zone's files (name, SHA-256, size) and of the name patterns of the zone.
#pragma once

#include "files/list_trust.hpp"

#include "framework/string_area.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace upd {

// Whether one of the name patterns (fnmatch, no escapes) accepts the name; an invalid pattern
// accepts nothing and, when `where` is given, is named in a Debug line.
bool matches_any(const std::vector<std::string>& patterns, const std::string& name, const char* where = nullptr);

class lst_file_t {
public:
    // "timestamp" marks a zone's version: a few bytes, so it is never packed (a container would
    // outweigh it), and it is the first of its zone's downloads.
    static bool is_timestamp(const std::string& name) { return name == "timestamp"; }
    // The fixed lines of the layout: the header, the trailer that ends the signed part, and the
    // signature part's header and the beginning of its line.
    static constexpr char header[] = "[TavikUpdateList]", trailer[] = "[TavikUpdateListEnd]";
    static constexpr char signature_header[] = "[Signature]", signature_begin[] = "Signature=";
    // The expiry travels as a pattern line "-.tavik-expires,YYYYMMDDHHMMSS" (UTC): readers built
    // without it take it for a pattern and ignore what follows the comma.
    static constexpr char expiry_pattern[] = ".tavik-expires";
    // The zone the list is for travels the same way: "-.tavik-zone,NAME".
    static constexpr char zone_pattern[] = ".tavik-zone";
    // A listed file that has no packed form on the servers, "-.tavik-plain,NAME": asked for plain
    // at once. Readers built without it ask for NAME.lzma first and take the 404.
    static constexpr char plain_pattern[] = ".tavik-plain";
    // Pattern lines of these names are the lists' own, never a pattern a publisher gives.
    static constexpr char reserved_prefix[] = ".tavik-";

    // A file as a publisher gathers them and as files() shows them.
    struct entry_t {
        std::string digest;  // raw bytes of the listed digest; empty for an odd digit count
        std::uint32_t size = 0;
        bool packed = true;  // a packed form is beside it on the servers
    };
    using files_t = std::map<std::string, entry_t>;

    // A listed file as a parsed list holds it, 48 bytes whatever its name: lists of hundreds of
    // thousands of files are held by 32-bit processes too.
    struct record_t {
        std::uint32_t name = 0;  // offset of the name in the string area
        std::uint32_t name_size = 0;
        std::uint32_t size = 0;          // the listed size
        std::uint32_t digest_size : 31;  // raw bytes; more than fit here follow the name in the area
        std::uint32_t plain : 1;         // named by a plain line
        record_t() : digest_size(0), plain(0) {}
        unsigned char digest[32] = {};
    };
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // The files as (name, entry) pairs made on the fly, in name order: for the tools and for
    // checks; a run reads the records by index.
    class files_view_t {
    public:
        class iterator {
        public:
            using iterator_category = std::forward_iterator_tag;
            using value_type = std::pair<std::string, entry_t>;
            using difference_type = std::ptrdiff_t;
            using pointer = void;
            using reference = value_type;
            iterator(const lst_file_t& list, std::size_t at) : list_(&list), at_(at) {}
            value_type operator*() const { return list_->entry(at_); }
            iterator& operator++() { return ++at_, *this; }
            bool operator!=(const iterator& other) const { return at_ != other.at_; }
            bool operator==(const iterator& other) const { return at_ == other.at_; }

        private:
            const lst_file_t* list_;
            std::size_t at_;
        };
        explicit files_view_t(const lst_file_t& list) : list_(list) {}
        iterator begin() const { return iterator(list_, 0); }
        iterator end() const { return iterator(list_, list_.count()); }
        std::size_t size() const { return list_.count(); }

    private:
        const lst_file_t& list_;
    };

    // The text that a list signs: the header, "[stamp]", a "+name, digest, size" line per file in
    // name order, a "-pattern," line per pattern, a plain line per file but timestamp that is not
    // `packed`, the zone line and the expiry line (unless `zone` or
    // `expiry` is empty), then the trailer; each line ends with LF.
    static std::string unsigned_text(const std::string& stamp, const files_t& files,
                                     const std::vector<std::string>& patterns, const std::string& expiry = "",
                                     const std::string& zone = "");
    // The covered bytes and the signature text of a text laid out as a signed list, nothing of it
    // checked; false when it is not laid out so.
    static bool split_signed(const std::string& text, std::string& covered, std::string& signature);

    // Checks the layout, the signature as `trust` requires of a list from `origin`, and the stamp,
    // then reads the body lines; throws cf_proto_exception_t (EC_BAD_LST_FILE) on failure, a zone
    // line that is malformed or repeated among them.
    void parse(const char* begin, const char* end, origin_t origin,
               const list_trust_t& trust = list_trust_t::built_in());

    bool contains(std::string_view name) const { return find(name) != npos; }
    std::string digest_of(std::string_view name) const;
    std::uint32_t size_of(std::string_view name) const;
    std::vector<std::string> names() const;
    std::vector<std::string> names_matching(const std::string& pattern) const;
    // True when one of the list's removal patterns accepts the name.
    bool matches_patterns(const std::string& name) const;
    // Drops every listed file that one of the patterns accepts.
    void apply_excludes(const std::vector<std::string>& excludes);

    // The files by index, in name order: a binary search finds a name's index (npos: not listed).
    std::size_t count() const { return records_.size(); }
    std::size_t find(std::string_view name) const;
    std::string_view name(std::size_t i) const { return names_.view(records_[i].name, records_[i].name_size); }
    std::string_view digest(std::size_t i) const;
    std::uint32_t size(std::size_t i) const { return records_[i].size; }
    bool packed(std::size_t i) const { return !records_[i].plain; }
    std::pair<std::string, entry_t> entry(std::size_t i) const;

    files_view_t files() const { return files_view_t(*this); }
    const std::vector<std::string>& patterns() const { return patterns_; }
    // The list's stamp: decimal digits that the publisher raises with every list.
    const std::string& stamp() const { return stamp_; }
    // Its expiry as the list writes it (YYYYMMDDHHMMSS, UTC), and in seconds since 1970; a list
    // without one ("") never expires. Whether it has is list_trust_t's to say; the stamp is never
    // held against the clock.
    const std::string& expiry() const { return expiry_; }
    long long expires_at() const { return expires_at_; }
    // The zone it names ("": none).
    const std::string& zone() const { return zone_; }
    // The KEYIDs of the build's keys whose parts verified it, each once.
    const std::vector<std::string>& signers() const { return signers_; }

private:
    // Reads the file lines of the body into records in name order; of a repeated name the last line counts.
    void read_file_lines(const char* begin, const char* end);
    void read_digest(const char* hex, const char* hex_end, record_t& record);
    std::string_view name_of(const record_t& record) const;

    std::vector<record_t> records_;
    string_area_t names_;
    std::string stamp_, expiry_, zone_;
    std::vector<std::string> signers_;
    long long expires_at_ = 0;
    std::vector<std::string> patterns_;
};

}  // namespace upd
