// Ed25519 parts beside the DSA signature: an RFC 8032 vector, their form, which keys count, and
// readers without parts; rotation from one key to another.
#include "files/signature.hpp"
#include "files/signature_text.hpp"
#include "tests/support/support.hpp"

namespace {

using text_t = upd::signature_text_t;

TEST(signature_text, a_part_counts_only_whole_and_by_a_key_the_build_holds) {
    const auto vector_key = upd::ed25519_key_t::from_hex(
        "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");  // RFC 8032, test 2
    std::vector<unsigned char> sig = upd::hex_to_bytes(
        "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
        "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
    EXPECT_TRUE(vector_key.verifies("\x72", 1, std::string(sig.begin(), sig.end())));
    sig[10] ^= 1;
    EXPECT_FALSE(vector_key.verifies("\x72", 1, std::string(sig.begin(), sig.end())));

    const auto old_key = sign::ed25519_signer_t::load(TAVIK_TEST_DATA "/keys/other-ed25519.key");
    const auto new_key = sign::ed25519_signer_t::load(TAVIK_SOURCE_DIR "/keys/development-ed25519.key");
    const std::string covered = "url=http://m.test/\n", changed = "url=http://m.tesu/\n",
                      dsa = ts::sign(covered, false);
    const std::string by_new = new_key.part(covered.data(), covered.size()),
                      by_old = old_key.part(covered.data(), covered.size());
    std::string bad_sig = by_new, upper = dsa + by_new;
    bad_sig[100] = bad_sig[100] == '0' ? '1' : '0';
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const upd::ed25519_keys_t built{new_key.public_key()}, both{old_key.public_key(), new_key.public_key()}, none;
    const struct {
        const char* name;
        std::string text, data;
        const upd::ed25519_keys_t& keys;
        text_t::verdict_t verdict;
    } rows[] = {
        {"no parts", dsa, covered, built, text_t::no_strong_part},
        {"a part by a key that is not built in", dsa + by_old, covered, built, text_t::no_strong_part},
        {"a byte of the covered range flipped", dsa + by_new, changed, built, text_t::dsa_refused},
        {"a digit of the signature flipped", dsa + bad_sig, covered, built, text_t::no_strong_part},
        {"an unknown part first, a good one second", dsa + by_old + by_new, covered, built, text_t::valid},
        {"digits in upper case", upper, covered, built, text_t::valid},
        {"a tail of 100 digits", dsa + by_new.substr(0, 100), covered, built, text_t::damaged},
        {"five parts", dsa + by_old + by_old + by_old + by_old + by_new, covered, built, text_t::damaged},
        {"a build without keys takes the parts as they are", dsa + bad_sig, covered, none, text_t::valid},
        {"rotation: either key while the build holds both", dsa + by_old, covered, both, text_t::valid},
        {"rotation: the old key alone once the build holds the new one", dsa + by_old, covered, built,
         text_t::no_strong_part},
    };
    for (const auto& r : rows)
        EXPECT_EQ(text_t(r.text).check(r.data.data(), r.data.size(), r.keys), r.verdict) << r.name;
    // A reader built without parts decodes the text and checks its first 40 bytes: it takes them all.
    EXPECT_TRUE(upd::verify_signature(covered.data(), covered.size(), dsa + by_old + by_new));
    EXPECT_EQ(text_t(dsa + by_old + by_new).keyids(),
              old_key.public_key().keyid() + ", " + new_key.public_key().keyid());
}

}  // namespace
