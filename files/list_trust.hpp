// Whether a signed file, or a zone's file list, is to be trusted: every rule that decides it.
#pragma once

#include "files/ed25519_key.hpp"

#include "error.pb.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace upd {

class lst_file_t;

// Where each rule lives. They work on bytes and facts only: no file, socket or clock (the time is an
// argument), so that each is tested in memory, one named row per case.
//   signature():      what a signature must carry, by the origin of the file (the readers of the
//                     signed formats call it; signature_text_t checks the parts one by one)
//                     and how many distinct keys must have made one (the threshold)
//   valid_stamp(), stamp_less():  what a list stamp is, and their order (make-zone's too)
//   expired(), clock_allowance:   when a list has expired; make-zone's shortest validity
//   valid_zone():     what a zone name is
//   retired():        whether a recorded stamp was set by keys this build no longer holds
//   list_choice_t:    which of the lists a zone's servers offer is taken, and which are refused:
//                     another zone's, one without a zone or an expiry in a strict build, an older
//                     one, an expired one
// The engine fetches and hands the bytes over; make-zone and tavik-sign verify call the same rules.

// Where a signed file came from, which decides what its signature must carry. Every caller names it.
enum class origin_t {
    server,     // a zone's file list from one of its servers: the DSA signature, and Ed25519 parts
    fallback,   // a server list that the fallback fetched from a zone.ini server: as from a server
    installed,  // a server list or zone.ini on this machine, which came through such a check or a
                // package: the DSA signature alone
    publisher,  // make-zone reading the tree it publishes: nothing checked here, it checks the list
                // against the keys it signs with itself
};

// Why a file or a list is not trusted.
enum class distrust_t {
    none,
    damaged,         // the signature text is not whole parts
    dsa_refused,     // the DSA signature does not verify under the built-in key
    no_strong_part,  // fewer distinct keys of the build than its threshold made a part that verifies
    other_zone,      // the list names another zone
    no_zone,         // a strict build: the list names no zone
    no_expiry,       // a strict build: the list has no expiry
    older,           // the list's stamp is below the one last installed
    expired,         // the list expired, beyond the clocks' allowance
};

struct verdict_t {
    distrust_t reason = distrust_t::none;
    std::string detail;  // for the log, when not trusted: what failed
    // Of a signature: the KEYIDs of the build's keys whose parts verify, each once.
    std::vector<std::string> signers;
    explicit operator bool() const { return reason == distrust_t::none; }
};

class list_trust_t {
public:
    // Publisher and machine may each be this far off: a list is expired only once its expiry is
    // that far behind the machine's clock, and make-zone gives no list a shorter validity.
    static constexpr long long clock_allowance = 3600;
    // A longer stamp could not be recorded (the stamps file is bounded): such a list is damaged.
    static constexpr std::size_t max_stamp_digits = 64;

    // The rules with the Ed25519 keys given (none: the DSA signature alone, whatever the origin), of
    // which `threshold` distinct ones must each have made a part that verifies. A `strict` build also
    // refuses a list from a server that names no zone or has no expiry.
    explicit list_trust_t(ed25519_keys_t keys, std::size_t threshold = 1, bool strict = false);
    // The rules of this build: TAVIK_ED25519_KEYS, TAVIK_ED25519_THRESHOLD and TAVIK_STRICT_LISTS.
    static const list_trust_t& built_in();

    const ed25519_keys_t& keys() const { return keys_; }
    std::size_t threshold() const { return threshold_; }
    bool strict() const { return strict_; }

    // The signature `text` over `size` bytes at `covered`, from `origin`.
    verdict_t signature(origin_t origin, const void* covered, std::size_t size, const std::string& text) const;
    // The same for the readers of signed files: a refusal throws bad_signature_t(code, what), after a
    // Debug line naming what failed and the parts.
    verdict_t require(origin_t origin, const void* covered, std::size_t size, const std::string& text,
                      tvk::ErrorCode code, const char* what) const;

    // 1 to max_stamp_digits decimal digits.
    static bool valid_stamp(const std::string& stamp);
    // Whether stamp a is lower than b, by value: leading zeros count for nothing.
    static bool stamp_less(const std::string& a, const std::string& b);
    // Whether the list has expired at `now` (seconds since 1970); one without an expiry never does.
    static bool expired(const lst_file_t& list, long long now);
    // 1 to max_zone_chars letters, digits and '_'.
    static constexpr std::size_t max_zone_chars = 32;
    static bool valid_zone(const std::string& zone);
    // Whether a stamp recorded with the list's `signers` no longer holds: each of them is a key this
    // build no longer has. A stamp set without signers (before they were recorded, or by a list taken
    // on the DSA signature alone) holds, and so does every stamp in a build without Ed25519 keys.
    bool retired(const std::vector<std::string>& signers) const;

private:
    ed25519_keys_t keys_;
    std::size_t threshold_;
    bool strict_;
};

// The choice of a zone's file list among the lists its servers offer, each verified already, in the
// order the servers are asked. A list below the stamp last installed is passed over: a lagging
// mirror or a replayed list never takes the zone back. An expired one is refused too, but the newest
// of them is kept: when every server's list has expired, it is taken all the same (authentic, and
// no older than what is installed), and the run says so in its status.
class list_choice_t {
public:
    // For the zone `zone` under `trust`. `recorded`: the stamp of the list last installed ("": none);
    // `now`: the machine's clock.
    list_choice_t(const list_trust_t& trust, std::string zone, std::string recorded, long long now);
    ~list_choice_t();

    // The verdict on the list `server` offers: none (take it), or why not. An expired list newer than
    // any kept before is kept, moved out of `list`.
    verdict_t offer(const std::string& server, lst_file_t& list);
    // Once no list was taken: the newest expired one (the first of them on a tie) moved into `list`,
    // and its server; false when none was offered.
    bool take_newest_expired(lst_file_t& list, std::string& server);

private:
    const list_trust_t& trust_;
    std::string zone_, recorded_;
    long long now_;
    std::unique_ptr<lst_file_t> kept_;  // the newest expired list, when one was offered
    std::string kept_server_;
};

}  // namespace upd
