// Which keys signed the list that set each zone's recorded stamp: parse, load, atomic save.
#include "files/stamp_signers_file.hpp"

#include "files/list_trust.hpp"
#include "files/record_file.hpp"
#include "files/signature_text.hpp"
#include "framework/cf_log.hpp"

#include <algorithm>

namespace upd {

namespace {

bool keyid(const std::string& id) {
    return id.size() == 16 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The KEYIDs of "a,b,..", one to as many as a signature has parts; none for anything else.
std::vector<std::string> keyids(const std::string& text) {
    std::vector<std::string> ids;
    for (std::size_t at = 0; at <= text.size() && ids.size() <= signature_text_t::max_parts;) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        ids.push_back(text.substr(at, comma - at));
        at = comma + 1;
    }
    const bool valid = ids.size() <= signature_text_t::max_parts && std::all_of(ids.begin(), ids.end(), keyid);
    return valid ? ids : std::vector<std::string>();
}

}  // namespace

stamp_signers_file_t::signers_t stamp_signers_file_t::parse(const char* begin, const char* end) {
    signers_t signers;
    int number = 0;
    parse_records(begin, end, "", [&](const std::string& zone, const std::string& ids) {
        ++number;
        std::vector<std::string> taken = keyids(ids);
        if (list_trust_t::valid_zone(zone) && !taken.empty() && !signers.count(zone))
            signers.emplace(zone, std::move(taken));
        else
            LOG_DEBUG("Stamp signers: record " << number << " is not \"ZONE KEYID,...\" of a zone not named before");
        return true;
    });
    return signers;
}

std::string stamp_signers_file_t::format(const signers_t& signers) {
    std::string text;
    for (const auto& s : signers) {
        if (s.second.empty()) continue;
        text += s.first + ' ';
        for (std::size_t i = 0; i < s.second.size(); ++i) text += (i ? "," : "") + s.second[i];
        text += '\n';
    }
    return text;
}

stamp_signers_file_t::signers_t stamp_signers_file_t::load(const boost::filesystem::path& path) {
    signers_t signers;
    load_record_file(path, max_size, "Stamp signers", "no recorded stamp is dropped for its keys in this run",
                     [&signers](const char* begin, const char* end) { signers = parse(begin, end); });
    return signers;
}

void stamp_signers_file_t::save(const boost::filesystem::path& path, const signers_t& signers) {
    save_record_file(path, format(signers));
}

}  // namespace upd
