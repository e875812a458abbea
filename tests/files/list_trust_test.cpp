// The trust rules in memory, one row per attack.
#include "files/list_trust.hpp"
#include "files/lst_file.hpp"
#include "framework/utc_time.hpp"
#include "tests/support/support.hpp"

namespace {

using upd::distrust_t;
using upd::origin_t;

TEST(list_trust, signatures_by_origin) {
    const auto old_key = sign::ed25519_signer_t::load(TAVIK_TEST_DATA "/keys/other-ed25519.key");
    const auto new_key = sign::ed25519_signer_t::load(TAVIK_SOURCE_DIR "/keys/development-ed25519.key");
    const std::string covered = "url=http://m.test/\n", changed = "url=http://m.tesu/\n",
                      dsa = ts::sign(covered, false);
    const std::string by_new = new_key.part(covered.data(), covered.size());
    const std::string by_old = old_key.part(covered.data(), covered.size());
    std::string bad_part = by_new, upper = dsa + by_new;
    bad_part[100] = bad_part[100] == '0' ? '1' : '0';
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const upd::list_trust_t built({new_key.public_key()}), both({old_key.public_key(), new_key.public_key()}),
        keyless({});
    const auto server = origin_t::server, installed = origin_t::installed;
    const auto ok = distrust_t::none, weak = distrust_t::no_strong_part, damaged = distrust_t::damaged;
    const struct {
        const char* attack;
        std::string text, data;
        const upd::list_trust_t& trust;
        origin_t origin;
        distrust_t expected;
    } rows[] = {
        {"DSA alone", dsa, covered, built, server, weak},
        {"DSA alone, fallback", dsa, covered, built, origin_t::fallback, weak},
        {"installed: no part needed", dsa, covered, built, installed, ok},
        {"a covered byte flipped", dsa + by_new, changed, built, server, distrust_t::dsa_refused},
        {"a covered byte flipped, installed", dsa + by_new, changed, built, installed, distrust_t::dsa_refused},
        {"a part's digit flipped", dsa + bad_part, covered, built, server, weak},
        {"unknown part, then good", dsa + by_old + by_new, covered, built, server, ok},
        {"upper case", upper, covered, built, server, ok},
        {"a tail of 100 digits", dsa + by_new.substr(0, 100), covered, built, server, damaged},
        {"a damaged tail, installed", dsa + by_new.substr(0, 100), covered, built, installed, damaged},
        {"five parts", dsa + by_old + by_old + by_old + by_old + by_new, covered, built, server, damaged},
        {"no keys built in", dsa + bad_part, covered, keyless, server, ok},
        {"either of both keys", dsa + by_old, covered, both, server, ok},
        {"a retired key's part", dsa + by_old, covered, built, server, weak},
        {"the publisher's own keys", "00", changed, built, origin_t::publisher, ok},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.trust.signature(r.origin, r.data.data(), r.data.size(), r.text).reason, r.expected) << r.attack;
}

TEST(list_trust, stamps_ordered_by_value) {
    const std::pair<std::string, bool> stamps[] = {
        {"0", true}, {std::string(64, '9'), true}, {"", false}, {std::string(65, '9'), false}, {"12a", false}};
    for (const auto& [stamp, valid] : stamps) EXPECT_EQ(upd::list_trust_t::valid_stamp(stamp), valid) << stamp;
    const std::tuple<std::string, std::string, bool> order[] = {
        {"9", "10", true},   {"10", "9", false}, {"0010", "9", false},
        {"007", "7", false}, {"", "0", false},   {std::string(20, '9'), "01" + std::string(20, '0'), true}};
    for (const auto& [a, b, less] : order) EXPECT_EQ(upd::list_trust_t::stamp_less(a, b), less) << a << " < " << b;
}

// A zone's list of one file, with this stamp and expiry.
upd::lst_file_t list(const std::string& stamp, long long expires_at = 0, const std::string& zone = "") {
    const std::string expiry = (zone.empty() ? "" : "-.tavik-zone," + zone + "\n") +
                               (expires_at ? "-.tavik-expires," + upd::utc_digits(expires_at) + "\n" : "");
    const std::string covered = "[TavikUpdateList]\n[" + stamp + "]\n+a, 01, 1\n" + expiry + "[TavikUpdateListEnd]\n";
    const std::string text = ts::signed_text(covered, "\n[Signature]\nSignature=%s\n");
    upd::lst_file_t lst;
    lst.parse(text.data(), text.data() + text.size(), origin_t::server);
    return lst;
}

TEST(list_trust, expiry) {
    const long long at = upd::utc_seconds(2026, 12, 20), allowance = upd::list_trust_t::clock_allowance;
    const std::pair<long long, bool> rows[] = {{at, false}, {at + allowance, false}, {at + allowance + 1, true}};
    for (const auto& [now, expired] : rows)
        EXPECT_EQ(upd::list_trust_t::expired(list("1", at), now), expired) << now - at;
    EXPECT_FALSE(upd::list_trust_t::expired(list("1"), at + 100 * 365 * 86400LL)) << "no expiry";
}

TEST(list_trust, a_zones_choice_of_list) {
    const long long now = upd::utc_seconds(2026, 12, 20), past = now - 2 * 86400, future = now + 86400;
    const struct {
        const char* attack;
        std::string recorded;
        std::vector<std::pair<std::string, long long>> offered;  // a server's list each: stamp, expiry
        std::string verdicts;                                    // a letter per list: taken, older, expired
        std::string taken;                                       // all refused: the newest expired list's server/stamp
    } rows[] = {
        {"a first run", "", {{"5", future}}, "t", ""},
        {"the stamp installed", "5", {{"005", 0}}, "t", ""},
        {"a replayed older list", "6", {{"5", future}, {"7", future}}, "ot", ""},
        {"a frozen mirror's list", "", {{"5", past}, {"6", future}}, "et", ""},
        {"all expired: the newest", "", {{"5", past}, {"7", past}, {"6", past}}, "eee", "1/7"},
        {"all expired: the first of the newest", "", {{"7", past}, {"7", past}}, "ee", "0/7"},
        {"expired and older", "6", {{"5", past}, {"4", future}}, "oo", "-"},
    };
    for (const auto& r : rows) {
        upd::list_choice_t choice(upd::list_trust_t::built_in(), "BASE", r.recorded, now);
        std::string verdicts;
        for (std::size_t i = 0; i < r.offered.size(); ++i) {
            upd::lst_file_t offered = list(r.offered[i].first, r.offered[i].second);
            const distrust_t reason = choice.offer(std::to_string(i), offered).reason;
            verdicts += reason == distrust_t::none ? 't' : reason == distrust_t::older ? 'o' : 'e';
        }
        EXPECT_EQ(verdicts, r.verdicts) << r.attack;
        if (r.taken.empty()) continue;
        upd::lst_file_t taken;
        std::string server;
        EXPECT_EQ(choice.take_newest_expired(taken, server) ? server + "/" + taken.stamp() : "-", r.taken) << r.attack;
    }
}

TEST(list_trust, k_distinct_keys_and_stamps_of_retired_keys) {
    const auto one = sign::ed25519_signer_t::load(TAVIK_TEST_DATA "/keys/other-ed25519.key");
    const auto two = sign::ed25519_signer_t::load(TAVIK_SOURCE_DIR "/keys/development-ed25519.key");
    const std::string covered = "url=http://m.test/\n", dsa = ts::sign(covered, false);
    const std::string by_one = one.part(covered.data(), covered.size()),
                      by_two = two.part(covered.data(), covered.size());
    const upd::list_trust_t two_of_two({one.public_key(), two.public_key()}, 2);
    const std::tuple<const char*, std::string, distrust_t> parts[] = {
        {"k-1 parts: a stolen key", dsa + by_two, distrust_t::no_strong_part},
        {"k parts", dsa + by_one + by_two, distrust_t::none},
        {"one key's part twice", dsa + by_two + by_two, distrust_t::no_strong_part}};
    for (const auto& p : parts)
        EXPECT_EQ(two_of_two.signature(origin_t::server, covered.data(), covered.size(), std::get<1>(p)).reason,
                  std::get<2>(p))
            << std::get<0>(p);
    const std::string id1 = one.public_key().keyid(), id2 = two.public_key().keyid();
    EXPECT_EQ(two_of_two.signature(origin_t::server, covered.data(), covered.size(), dsa + by_two + by_one).signers,
              (std::vector<std::string>{id2, id1}));
    const upd::list_trust_t kept({two.public_key()}), without({});
    const std::tuple<const char*, const upd::list_trust_t&, std::vector<std::string>, bool> stamps[] = {
        {"a retired key's stamp", kept, {id1}, true},
        {"a kept and a retired key", kept, {id1, id2}, false},
        {"no signers recorded", kept, {}, false},
        {"no keys built in", without, {id1}, false}};
    for (const auto& s : stamps) EXPECT_EQ(std::get<1>(s).retired(std::get<2>(s)), std::get<3>(s)) << std::get<0>(s);
}

TEST(list_trust, another_zones_list_and_strict_builds) {
    const long long now = upd::utc_seconds(2026, 12, 20), future = now + 86400;
    const upd::list_trust_t& built = upd::list_trust_t::built_in();
    const upd::list_trust_t lenient(built.keys(), 1, false), strict(built.keys(), 1, true);
    const struct {
        const char* attack;
        const upd::list_trust_t& trust;
        std::string zone;
        long long expires_at;
        distrust_t expected;
    } rows[] = {{"another zone's list", lenient, "VERSION", future, distrust_t::other_zone},
                {"no zone, vendor build", strict, "", future, distrust_t::no_zone},
                {"no zone, development build", lenient, "", future, distrust_t::none},
                {"no expiry, vendor build", strict, "BASE", 0, distrust_t::no_expiry},
                {"no expiry, development build", lenient, "BASE", 0, distrust_t::none},
                {"own zone, vendor build", strict, "BASE", future, distrust_t::none}};
    for (const auto& r : rows) {
        upd::lst_file_t offered = list("1", r.expires_at, r.zone);
        EXPECT_EQ(upd::list_choice_t(r.trust, "BASE", "", now).offer("m", offered).reason, r.expected) << r.attack;
    }
}

}  // namespace
