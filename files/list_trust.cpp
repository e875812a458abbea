// Whether a signed file, or a zone's file list, is to be trusted: every rule that decides it.
#include "files/list_trust.hpp"

#include "files/lst_file.hpp"
#include "files/public_key.hpp"
#include "files/signature.hpp"
#include "files/signature_text.hpp"
#include "framework/cf_log.hpp"
#include "framework/utc_time.hpp"

#include <algorithm>

namespace upd {

list_trust_t::list_trust_t(ed25519_keys_t keys, std::size_t threshold, bool strict)
    : keys_(std::move(keys)), threshold_(std::max<std::size_t>(threshold, 1)), strict_(strict) {}

const list_trust_t& list_trust_t::built_in() {
    static const list_trust_t trust(built_in_ed25519_keys(), key::ed25519_threshold, key::strict_lists);
    return trust;
}

verdict_t list_trust_t::signature(origin_t origin, const void* covered, std::size_t size,
                                  const std::string& text) const {
    if (origin == origin_t::publisher) return {};
    const signature_text_t parsed(text);
    if (!parsed.well_formed()) return {distrust_t::damaged, "parts that are not whole", {}};
    if (!parsed.dsa_verifies(covered, size)) return {distrust_t::dsa_refused, "the DSA signature", {}};
    verdict_t verdict;
    // Each key counts once, however many of its parts the text carries.
    for (const signature_text_t::part_verdict_t& part : parsed.part_verdicts(covered, size, keys_))
        if (part.valid && std::count(verdict.signers.begin(), verdict.signers.end(), part.keyid) == 0)
            verdict.signers.push_back(part.keyid);
    // What is installed came through this check, or with a package.
    if (origin == origin_t::installed || keys_.empty() || verdict.signers.size() >= threshold_) return verdict;
    verdict.reason = distrust_t::no_strong_part;
    verdict.detail = verdict.signers.empty() ? "no Ed25519 part by a built-in key"
                                             : "Ed25519 parts by " + std::to_string(verdict.signers.size()) +
                                                   " of the " + std::to_string(threshold_) + " built-in keys required";
    return verdict;
}

verdict_t list_trust_t::require(origin_t origin, const void* covered, std::size_t size, const std::string& text,
                                tvk::ErrorCode code, const char* what) const {
    verdict_t verdict = signature(origin, covered, size, text);
    if (verdict) return verdict;
    LOG_DEBUG("Signature check failed: " << verdict.detail << "; Ed25519 parts by " << signature_text_t(text).keyids());
    throw bad_signature_t(code, what);
}

bool list_trust_t::valid_stamp(const std::string& stamp) {
    return !stamp.empty() && stamp.size() <= max_stamp_digits &&
           stamp.find_first_not_of("0123456789") == std::string::npos;
}

bool list_trust_t::stamp_less(const std::string& a, const std::string& b) {
    const std::size_t a0 = std::min(a.find_first_not_of('0'), a.size()),
                      b0 = std::min(b.find_first_not_of('0'), b.size());
    const std::size_t a_digits = a.size() - a0, b_digits = b.size() - b0;
    if (a_digits != b_digits) return a_digits < b_digits;
    return a.compare(a0, a_digits, b, b0, b_digits) < 0;
}

bool list_trust_t::expired(const lst_file_t& list, long long now) {
    return !list.expiry().empty() && list.expires_at() + clock_allowance < now;
}

bool list_trust_t::valid_zone(const std::string& zone) {
    return !zone.empty() && zone.size() <= max_zone_chars && std::all_of(zone.begin(), zone.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    });
}

bool list_trust_t::retired(const std::vector<std::string>& signers) const {
    return !keys_.empty() && !signers.empty() &&
           std::none_of(signers.begin(), signers.end(), [&](const std::string& id) {
               return std::any_of(keys_.begin(), keys_.end(),
                                  [&](const ed25519_key_t& key) { return key.keyid() == id; });
           });
}

list_choice_t::list_choice_t(const list_trust_t& trust, std::string zone, std::string recorded, long long now)
    : trust_(trust), zone_(std::move(zone)), recorded_(std::move(recorded)), now_(now) {}

list_choice_t::~list_choice_t() = default;

verdict_t list_choice_t::offer(const std::string& server, lst_file_t& list) {
    // Another zone's list would place its files here and remove this zone's that its patterns match.
    if (!list.zone().empty() && list.zone() != zone_)
        return {distrust_t::other_zone, "the file list is zone " + list.zone() + "'s, not " + zone_ + "'s", {}};
    if (trust_.strict() && list.zone().empty()) return {distrust_t::no_zone, "the file list names no zone", {}};
    if (trust_.strict() && list.expiry().empty()) return {distrust_t::no_expiry, "the file list has no expiry", {}};
    if (list_trust_t::stamp_less(list.stamp(), recorded_))
        return {distrust_t::older, "offers an older file list (" + list.stamp() + " < " + recorded_ + ")", {}};
    if (!list_trust_t::expired(list, now_)) return {};
    const std::string detail = "list expired on " + utc_minute(list.expires_at());
    // Kept should every server's list be as old: the newest of them, the first on a tie.
    if (!kept_ || list_trust_t::stamp_less(kept_->stamp(), list.stamp()))
        kept_ = std::make_unique<lst_file_t>(std::move(list)), kept_server_ = server;
    return {distrust_t::expired, detail, {}};
}

bool list_choice_t::take_newest_expired(lst_file_t& list, std::string& server) {
    if (!kept_) return false;
    list = std::move(*kept_), server = kept_server_;
    kept_.reset();
    return true;
}

}  // namespace upd
