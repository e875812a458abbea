// The signature check against an independent signer (make_vectors.py).
#include "files/public_key.hpp"
#include "files/signature.hpp"
#include "tests/support/support.hpp"

#include <sstream>

namespace {

using bytes_t = std::vector<unsigned char>;

// The lines of vectors.txt of one kind: the message and the value.
std::vector<std::pair<bytes_t, std::string>> vectors(const std::string& kind) {
    std::istringstream in(ts::slurp(TAVIK_TEST_DATA "/signature/vectors.txt"));
    std::vector<std::pair<bytes_t, std::string>> out;
    for (std::string k, message, value; in >> k >> message;) {
        if (k != "q") in >> value;
        if (k == kind) out.emplace_back(upd::hex_to_bytes(message == "-" ? "" : message), value);
    }
    return out;
}

upd::sha0_t sha0(const bytes_t& m, std::size_t split = 0) {
    upd::sha0_t sha;
    sha.feed(m.data(), split), sha.feed(m.data() + split, m.size() - split), sha.finish();
    return sha;
}

bool verify(const bytes_t& m, const std::string& text) { return upd::verify_signature(m.data(), m.size(), text); }

TEST(signature, sha0_in_two_pieces) {
    for (const auto& [m, value] : vectors("sha0")) {
        for (std::size_t split = 0; split <= m.size(); split += 1 + m.size() / 7) {
            const auto digest = sha0(m, split).digest();
            EXPECT_EQ(bytes_t(digest.begin(), digest.end()), upd::hex_to_bytes(value)) << m.size() << " " << split;
        }
    }
    EXPECT_EQ(vectors("sha0").size(), 13u);
}

TEST(signature, forgeries_fail_on_every_word_width) {
    if (vectors("q").at(0).first != bytes_t(upd::key::order_q, upd::key::order_q + 20))
        GTEST_SKIP() << "this build trusts another key than keys/development.pub";
    const auto& tables = upd::built_in_key_tables();
    const bool wide = upd::dsa_verify_on_words(64, tables, PublicKey, bytes_t(40).data(), sha0({})) >= 0;
    for (const auto& [m, value] : vectors("sig")) {
        EXPECT_TRUE(verify(m, value)) << m.size();
        bytes_t changed = m, s = upd::hex_to_bytes(value);
        changed[m.size() / 2] ^= 1;
        for (int bits : {32, 64}) {
            if (bits == 64 && !wide) continue;
            EXPECT_EQ(upd::dsa_verify_on_words(bits, tables, PublicKey, s.data(), sha0(m)), 0) << bits;
            EXPECT_EQ(upd::dsa_verify_on_words(bits, tables, PublicKey, s.data(), sha0(changed)), 3) << bits;
        }
    }
    EXPECT_EQ(vectors("sig").size(), 45u);
    const auto v = vectors("sig").at(0);
    const std::string t = v.second;
    std::string upper = t, letter = t;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    letter[t.find_first_not_of('0')] = 'g';
    const std::string q = ts::hex(std::string(upd::key::order_q, upd::key::order_q + 20));
    const std::pair<std::string, bool> forms[] = {{upper, true},
                                                  {t + "00ff", true},
                                                  {letter, false},
                                                  {t.substr(0, 78), false},
                                                  {t + "0", false},
                                                  {t.substr(40) + t.substr(0, 40), false},
                                                  {std::string(40, '0') + t.substr(40), false},
                                                  {t.substr(0, 40) + std::string(40, '0'), false},
                                                  {q + t.substr(40), false},
                                                  {t.substr(0, 40) + q, false}};
    for (const auto& [text, valid] : forms) EXPECT_EQ(verify(v.first, text), valid) << text;
    // A valid signature of empty data is mathematics, not a signed file.
    const auto empty = vectors("sig-empty").at(0);
    EXPECT_EQ(upd::dsa_verify(PublicKey, upd::hex_to_bytes(empty.second).data(), sha0({})), 0);
    EXPECT_FALSE(upd::verify_signature("x", 0, empty.second));
    for (const auto& h :
         {std::make_pair(std::string("abc"), bytes_t{}), {"0aFF", {0x0a, 0xff}}, {" 1-z", {0x01, 0x00}}})
        EXPECT_EQ(upd::hex_to_bytes(h.first), h.second) << h.first;
}

}  // namespace
