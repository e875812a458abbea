// Signature check against signatures from an independent big-integer signer, forged and
// malformed texts, covered ranges, and the key-tables generator with another key.
#include "files/signature.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "files/public_key.hpp"

namespace {

using bytes_t = std::vector<unsigned char>;

struct signed_t {
  bytes_t message;
  std::string signature;
};

// vectors.txt, made by make_vectors.py with Python integers from keys/development.key.
struct vectors_t {
  std::string q_le;             // q, 20 bytes little-endian, as hex
  std::vector<signed_t> valid;  // over e with h0 least significant, r and s little-endian
  std::string empty_valid;      // a valid signature of empty data
  std::vector<signed_t> fips;   // SHA-1, big-endian digest, r and s
};

vectors_t load_vectors() {
  std::ifstream in(TAVIK_TEST_DATA "/signature/vectors.txt");
  vectors_t v;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind, a, b;
    fields >> kind >> a >> b;
    if (kind == "q") v.q_le = a;
    if (kind == "sig") v.valid.push_back({upd::hex_to_bytes(a), b});
    if (kind == "sig-empty") v.empty_valid = b;
    if (kind == "fips") v.fips.push_back({upd::hex_to_bytes(a), b});
  }
  return v;
}

std::string hex(const unsigned char* p, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

bool verify(const bytes_t& m, const std::string& text) {
  return upd::verify_signature(m.data(), m.size(), text);
}

upd::sha0_t hash_of(const bytes_t& m) {
  upd::sha0_t sha;
  sha.start();
  sha.feed(m.data(), m.size());
  sha.finish();
  return sha;
}

// The vectors are made with the development key; a build with another key skips them.
class DevelopmentKeySignature : public ::testing::Test {
protected:
  void SetUp() override {
    v_ = load_vectors();
    ASSERT_EQ(v_.valid.size(), 45u) << "vectors.txt missing or truncated";
    ASSERT_EQ(v_.fips.size(), 2u);
    ASSERT_EQ(v_.q_le.size(), 40u);
    if (hex(upd::key::order_q, 20) != v_.q_le)
      GTEST_SKIP() << "this build has another public key than keys/development.pub";
  }
  vectors_t v_;
};

TEST(HexToBytes, DecodesPairsAndCountsOtherCharactersAsZero) {
  struct row_t {
    const char* name;
    std::string text;
    bytes_t expected;
  } rows[] = {
      {"empty text", "", {}},
      {"odd length", "abc", {}},
      {"single digit", "7", {}},
      {"lower case", "0aff", {0x0a, 0xff}},
      {"upper case", "0AFF", {0x0a, 0xff}},
      {"mixed case", "aBcD", {0xab, 0xcd}},
      {"first digit is high nibble", "1f", {0x1f}},
      {"letter g counts as zero", "g1", {0x01}},
      {"space and punctuation count as zero", " 1-z", {0x01, 0x00}},
      {"high-bit bytes count as zero", "\xff\xfe", {0x00}},
  };
  for (const auto& r : rows) EXPECT_EQ(upd::hex_to_bytes(r.text), r.expected) << r.name;
}

TEST_F(DevelopmentKeySignature, AcceptsSignaturesOfIndependentSigner) {
  for (const auto& s : v_.valid) {
    SCOPED_TRACE("message of " + std::to_string(s.message.size()) + " bytes");
    EXPECT_TRUE(verify(s.message, s.signature));
    const upd::sha0_t sha = hash_of(s.message);
    const bytes_t sig = upd::hex_to_bytes(s.signature);
    EXPECT_EQ(upd::dsa_verify(PublicKey, sig.data(), sha), 0);
  }
}

TEST_F(DevelopmentKeySignature, SignatureTextForms) {
  // A valid signature that has a 0 digit (for the non-hex case) and a non-zero digit.
  const signed_t* base = nullptr;
  for (const auto& s : v_.valid)
    if (s.signature.find('0') != std::string::npos) {
      base = &s;
      break;
    }
  ASSERT_NE(base, nullptr);
  const std::string text = base->signature;
  const std::size_t zero_at = text.find('0');
  const std::size_t nonzero_at = text.find_first_not_of('0');
  using transform_t = std::function<std::string(std::string)>;
  struct row_t {
    const char* name;
    transform_t transform;
    bool accepted;
  } rows[] = {
      {"exactly 80 digits", [](std::string t) { return t; }, true},
      {"longer even text, extra bytes ignored", [](std::string t) { return t + "00ff"; }, true},
      {"longer text with junk after 80 digits", [](std::string t) { return t + "zz"; }, true},
      {"upper case",
       [](std::string t) {
         for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         return t;
       },
       true},
      {"mixed case",
       [](std::string t) {
         for (std::size_t i = 0; i < t.size(); i += 2)
           t[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(t[i])));
         return t;
       },
       true},
      {"letter g where a 0 digit stands",
       [&](std::string t) {
         for (char& c : t)
           if (c == '0') c = 'g';
         return t;
       },
       true},
      {"letter g where a non-zero digit stands",
       [&](std::string t) {
         t[nonzero_at] = 'g';
         return t;
       },
       false},
      {"odd length: last digit dropped", [](std::string t) { return t.substr(0, 79); }, false},
      {"odd length: one digit added", [](std::string t) { return t + "0"; }, false},
      {"78 digits", [](std::string t) { return t.substr(0, 78); }, false},
      {"60 digits", [](std::string t) { return t.substr(0, 60); }, false},
      {"40 digits", [](std::string t) { return t.substr(0, 40); }, false},
      {"empty text", [](std::string) { return std::string(); }, false},
      {"r and s swapped",
       [](std::string t) { return t.substr(40) + t.substr(0, 40); }, false},
      {"one digit changed",
       [&](std::string t) {
         t[zero_at] = '1';
         return t;
       },
       false},
  };
  for (const auto& r : rows)
    EXPECT_EQ(verify(base->message, r.transform(text)), r.accepted) << r.name;
}

TEST_F(DevelopmentKeySignature, RefusesROrSOutOfRange) {
  const signed_t& good = v_.valid.front();
  const std::string r_ok = good.signature.substr(0, 40), s_ok = good.signature.substr(40, 40);
  const std::string zero(40, '0'), top(40, 'f');
  // q + 1 and q + r: at or above q but congruent to a value a lax check might accept.
  bytes_t q = upd::hex_to_bytes(v_.q_le);
  bytes_t q_plus_1 = q;
  for (auto& b : q_plus_1)
    if (++b != 0) break;
  struct row_t {
    const char* name;
    std::string r, s;
    int code;  // r is tested first
  } rows[] = {
      {"r = 0", zero, s_ok, 1},
      {"s = 0", r_ok, zero, 2},
      {"r = 0 and s = 0", zero, zero, 1},
      {"r = q", v_.q_le, s_ok, 1},
      {"s = q", r_ok, v_.q_le, 2},
      {"r = q + 1", hex(q_plus_1.data(), 20), s_ok, 1},
      {"s = 2^160 - 1", r_ok, top, 2},
  };
  const upd::sha0_t sha = hash_of(good.message);
  for (const auto& r : rows) {
    const bytes_t sig = upd::hex_to_bytes(r.r + r.s);
    EXPECT_EQ(upd::dsa_verify(PublicKey, sig.data(), sha), r.code) << r.name;
    EXPECT_FALSE(verify(good.message, r.r + r.s)) << r.name;
  }
}

TEST_F(DevelopmentKeySignature, RefusesStandardEncodingOfTheSameKey) {
  // SHA-1 with big-endian digest, r and s: the conventional encoding must not pass.
  for (const auto& s : v_.fips) {
    EXPECT_FALSE(verify(s.message, s.signature));
    // Nor with r and s merely reversed into our byte order.
    bytes_t sig = upd::hex_to_bytes(s.signature);
    std::reverse(sig.begin(), sig.begin() + 20);
    std::reverse(sig.begin() + 20, sig.end());
    EXPECT_FALSE(verify(s.message, hex(sig.data(), sig.size())));
  }
}

TEST_F(DevelopmentKeySignature, CoveredBytesOnly) {
  for (const auto& s : v_.valid) {
    if (s.message.size() > 200) continue;  // every byte of the short messages
    // Every covered byte changed, one at a time, breaks the signature.
    for (std::size_t i = 0; i < s.message.size(); ++i) {
      bytes_t changed = s.message;
      changed[i] ^= 0x01;
      EXPECT_FALSE(verify(changed, s.signature)) << "byte " << i << " of " << s.message.size();
    }
    // Bytes after the covered range do not matter.
    bytes_t longer = s.message;
    longer.insert(longer.end(), {'s', 'i', 'g', 'n', '='});
    longer.back() ^= 0x55;
    EXPECT_TRUE(upd::verify_signature(longer.data(), s.message.size(), s.signature));
    // Nor does a range that is one byte short.
    EXPECT_FALSE(upd::verify_signature(s.message.data(), s.message.size() - 1, s.signature));
  }
}

TEST_F(DevelopmentKeySignature, RefusesEmptyRangeEvenWithValidSignatureOfEmptyData) {
  ASSERT_EQ(v_.empty_valid.size(), 80u);
  const bytes_t sig = upd::hex_to_bytes(v_.empty_valid);
  EXPECT_EQ(upd::dsa_verify(PublicKey, sig.data(), hash_of({})), 0);  // valid as mathematics
  const char data[] = "anything";
  EXPECT_FALSE(upd::verify_signature(data, 0, v_.empty_valid));
  EXPECT_FALSE(upd::verify_signature(nullptr, 0, v_.empty_valid));
}

TEST(DsaVerify, OrderWithCommonFactorIsRefusedNotLoopedOn) {
  // Tables whose q is 15: s = 3 has no inverse, which must end in a refusal, not a hang.
  upd::key_tables_t tables = upd::built_in_key_tables();
  unsigned char q15[20] = {15};
  tables.order_q = q15;
  unsigned char sig[40] = {};
  sig[0] = 1;   // r = 1
  sig[20] = 3;  // s = 3
  EXPECT_NE(upd::dsa_verify(tables, PublicKey, sig, hash_of({'a'})), 0);
}

// ---- Another key: the generator and the signing tool, run as a build would run them ----

struct run_result_t {
  int status;
  std::string output;
};

run_result_t run(const std::string& command) {
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return {-1, "popen failed"};
  std::string out;
  char buf[512];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

// The bytes of "NAME[N] = { 0x.., ... };" in generated key tables.
bytes_t generated_array(const std::string& source, const std::string& name) {
  bytes_t out;
  const std::size_t at = source.find(" " + name + "[");
  if (at == std::string::npos) return out;
  const std::size_t open = source.find('{', at), close = source.find('}', at);
  for (std::size_t i = source.find("0x", open); i < close; i = source.find("0x", i + 2))
    out.push_back(static_cast<unsigned char>(std::strtoul(source.c_str() + i, nullptr, 16)));
  return out;
}

unsigned long generated_number(const std::string& source, const std::string& name) {
  const std::size_t at = source.find(" " + name + " = ");
  return at == std::string::npos ? 0x10000ul
                                 : std::strtoul(source.c_str() + at + name.size() + 4, nullptr, 10);
}

class AnotherKey : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavik-key-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::string bin = TAVIK_BINARY_DIR "/bin/";
    sign_ = bin + "tavik-sign";
    tables_ = bin + "tavik-key-tables";
    ASSERT_EQ(::access(sign_.c_str(), X_OK), 0) << sign_ << " not built";
    ASSERT_EQ(::access(tables_.c_str(), X_OK), 0) << tables_ << " not built";
    const run_result_t made = run(sign_ + " keygen --comment 'test key' " + dir_ + "/other");
    ASSERT_EQ(made.status, 0) << made.output;
  }
  void TearDown() override {
    for (const char* name : {"other.pub", "other.key", "tables.cpp", "bad.pub", "data"})
      ::unlink((dir_ + "/" + name).c_str());
    // Anything else left behind (such as a half-written output) makes this fail.
    EXPECT_EQ(::rmdir(dir_.c_str()), 0) << "files left in " << dir_;
  }

  std::map<std::string, std::string> key_values(const std::string& path) {
    std::map<std::string, std::string> v;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      const std::size_t eq = line.find(" = ");
      if (eq != std::string::npos) v[line.substr(0, eq)] = line.substr(eq + 3);
    }
    return v;
  }

  std::string dir_, sign_, tables_;
};

TEST_F(AnotherKey, TablesOfAFreshKeyVerifyItsSignaturesOnly) {
  const std::string out = dir_ + "/tables.cpp";
  const run_result_t gen = run(tables_ + " " + dir_ + "/other.pub " + out);
  ASSERT_EQ(gen.status, 0) << gen.output;
  const std::string source = read_text(out);
  const bytes_t p = generated_array(source, "modulus_p"), q = generated_array(source, "order_q"),
                c320 = generated_array(source, "q_2_320"), c672 = generated_array(source, "q_2_672"),
                generator = generated_array(source, "generator_table"),
                key = generated_array(source, "PublicKey");
  ASSERT_EQ(p.size(), 64u);
  ASSERT_EQ(q.size(), 20u);
  ASSERT_EQ(c320.size(), 20u);
  ASSERT_EQ(c672.size(), 20u);
  ASSERT_EQ(generator.size(), 4096u);
  ASSERT_EQ(key.size(), 256u);
  const unsigned long pf = generated_number(source, "p_factor"),
                      qf = generated_number(source, "q_factor");
  ASSERT_LT(pf, 0x10000ul);
  ASSERT_LT(qf, 0x10000ul);
  // The factors are -m^-1 mod 2^16: m * m' = -1 on the lowest limb.
  EXPECT_EQ(((p[0] | (p[1] << 8)) * pf) & 0xffffu, 0xffffu);
  EXPECT_EQ(((q[0] | (q[1] << 8)) * qf) & 0xffffu, 0xffffu);
  const upd::key_tables_t tables = {p.data(),         q.data(),
                                    c320.data(),      c672.data(),
                                    generator.data(), static_cast<std::uint16_t>(pf),
                                    static_cast<std::uint16_t>(qf)};

  const vectors_t dev = load_vectors();
  ASSERT_FALSE(dev.valid.empty());
  for (const auto& s : dev.valid) {
    if (s.message.size() > 200) continue;
    write_text(dir_ + "/data", std::string(s.message.begin(), s.message.end()));
    const run_result_t signed_by_other =
        run(sign_ + " sign-data " + dir_ + "/other.key " + dir_ + "/data");
    ASSERT_EQ(signed_by_other.status, 0) << signed_by_other.output;
    const bytes_t other_sig = upd::hex_to_bytes(signed_by_other.output.substr(0, 80));
    ASSERT_EQ(other_sig.size(), 40u) << signed_by_other.output;
    const upd::sha0_t sha = hash_of(s.message);
    EXPECT_EQ(upd::dsa_verify(tables, key.data(), other_sig.data(), sha), 0);
    // The development key's signature is refused under the other key, and the reverse.
    const bytes_t dev_sig = upd::hex_to_bytes(s.signature);
    EXPECT_NE(upd::dsa_verify(tables, key.data(), dev_sig.data(), sha), 0);
    if (hex(upd::key::order_q, 20) == dev.q_le) {
      EXPECT_NE(upd::dsa_verify(PublicKey, other_sig.data(), sha), 0);
    }
    // A changed byte is refused under the other key too.
    bytes_t changed = s.message;
    changed[0] ^= 0x80;
    EXPECT_NE(upd::dsa_verify(tables, key.data(), other_sig.data(), hash_of(changed)), 0);
  }
}

TEST_F(AnotherKey, GeneratorRefusesUnusableKeyWithClearMessage) {
  auto v = key_values(dir_ + "/other.pub");
  const auto dev = key_values(TAVIK_SOURCE_DIR "/keys/development.pub");
  ASSERT_EQ(v.size(), 4u);
  ASSERT_EQ(dev.size(), 4u);
  auto text = [](std::map<std::string, std::string> k) {
    std::string t = "# test\n";
    for (const char* name : {"p", "q", "g", "y"})
      if (k.count(name)) t += std::string(name) + " = " + k[name] + "\n";
    return t;
  };
  auto with = [&](const char* name, const std::string& value) {
    auto k = v;
    k[name] = value;
    return text(k);
  };
  auto without = [&](const char* name) {
    auto k = v;
    k.erase(name);
    return text(k);
  };
  // p + 1 is even (p is an odd prime): same size, not prime.
  std::string p_plus_1 = v["p"];
  p_plus_1.back() = "123456789abcdef0"[std::stoi(p_plus_1.substr(p_plus_1.size() - 1), nullptr, 16)];
  struct row_t {
    const char* name;
    std::string file;
    const char* message;
  } rows[] = {
      {"p not prime", with("p", p_plus_1), "p is not prime"},
      {"p too short", with("p", v["p"].substr(1)), "p must have exactly 512 bits"},
      {"q too short", with("q", v["q"].substr(1)), "q must have exactly 160 bits"},
      {"q of another key", with("q", dev.at("q")), "q does not divide p - 1"},
      {"g of wrong order", with("g", "2"), "g is not of order q"},
      {"y equal to 1", with("y", "1"), "y must lie between 1 and p - 1"},
      {"y missing", without("y"), "no value for y"},
      {"private value present", text(v) + "x = 1234\n", "unexpected value \"x\""},
      {"not hexadecimal", with("g", "12xz"), "value of g is not hexadecimal"},
      {"malformed line", text(v) + "p: 17\n", "expected a line \"name = <hex>\""},
  };
  const std::string bad = dir_ + "/bad.pub", out = dir_ + "/tables.cpp";
  for (const auto& r : rows) {
    write_text(bad, r.file);
    const run_result_t result = run(tables_ + " " + bad + " " + out);
    EXPECT_NE(result.status, 0) << r.name;
    EXPECT_NE(result.output.find(r.message), std::string::npos) << r.name << ": " << result.output;
    EXPECT_NE(result.output.find(bad), std::string::npos) << r.name << ": names the file";
    EXPECT_NE(::access(out.c_str(), F_OK), 0) << r.name << ": no tables written";
  }
  // The unchanged key passes, which shows the rows fail for their own fault.
  write_text(bad, text(v));
  EXPECT_EQ(run(tables_ + " " + bad + " " + out).status, 0);
}

TEST_F(AnotherKey, KeygenNeverOverwritesAKeyAndKeepsThePrivatePartPrivate) {
  const std::string key = dir_ + "/other.key", pub = dir_ + "/other.pub";
  struct stat st;
  ASSERT_EQ(::stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string key_before = read_text(key), pub_before = read_text(pub);
  ASSERT_NE(key_before.find("\nx = "), std::string::npos);
  EXPECT_EQ(pub_before.find("\nx = "), std::string::npos);
  const run_result_t again = run(sign_ + " keygen " + dir_ + "/other");
  EXPECT_NE(again.status, 0);
  EXPECT_NE(again.output.find("File exists"), std::string::npos) << again.output;
  EXPECT_EQ(read_text(key), key_before);
  EXPECT_EQ(read_text(pub), pub_before);
}

TEST_F(AnotherKey, GeneratorAcceptsEitherCaseCommentsAndBlankLines) {
  const std::string out = dir_ + "/tables.cpp", bad = dir_ + "/bad.pub";
  ASSERT_EQ(run(tables_ + " " + dir_ + "/other.pub " + out).status, 0);
  const std::string lower = read_text(out);
  auto v = key_values(dir_ + "/other.pub");
  std::string text = "\n# upper-case digits, a blank line, comments\n\n";
  for (const char* name : {"y", "g", "q", "p"}) {  // any order
    std::string value = v[name];
    for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    text += std::string(name) + " = " + value + "\n#\n";
  }
  write_text(bad, text);
  const run_result_t result = run(tables_ + " " + bad + " " + out);
  ASSERT_EQ(result.status, 0) << result.output;
  const std::string upper = read_text(out);
  for (const char* name : {"PublicKey", "modulus_p", "order_q", "generator_table"}) {
    EXPECT_FALSE(generated_array(lower, name).empty()) << name;
    EXPECT_EQ(generated_array(upper, name), generated_array(lower, name)) << name;
  }
}

// ---- The product modulo p on machine words against a bit-at-a-time reference ----

// The word widths this build can run: 32 always, 64 where the compiler has 128-bit products.
std::vector<int> word_widths() {
#if defined(__SIZEOF_INT128__)
  return {32, 64};
#else
  return {32};
#endif
}

using big_t = std::array<std::uint32_t, 17>;  // 544 bits: room for a + m above 2^512

big_t big_of(const bytes_t& le) {
  big_t x{};
  for (std::size_t i = 0; i < 64; ++i) x[i / 4] |= std::uint32_t(le[i]) << (8 * (i % 4));
  return x;
}

void big_add(big_t& x, const big_t& y) {
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    carry += std::uint64_t(x[i]) + y[i];
    x[i] = static_cast<std::uint32_t>(carry);
    carry >>= 32;
  }
}

// The Montgomery product one bit of b at a time: add a when the bit is set, m when the sum is
// odd, halve; then take m off while the value is 2^512 or more. The multiple of m added is the
// only one below 2^512 that makes a b + k m divisible by 2^512, so any word width must give
// exactly this value, not merely a congruent one.
bytes_t reference_product(const bytes_t& a, const bytes_t& b, const bytes_t& m) {
  const big_t big_a = big_of(a), big_m = big_of(m);
  big_t t{};
  for (int bit = 0; bit < 512; ++bit) {
    if ((b[bit / 8] >> (bit % 8)) & 1u) big_add(t, big_a);
    if (t[0] & 1u) big_add(t, big_m);
    for (std::size_t i = 0; i < t.size(); ++i)
      t[i] = (t[i] >> 1) | (i + 1 < t.size() ? t[i + 1] << 31 : 0);
  }
  while (t[16] != 0) {
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
      const std::int64_t d = std::int64_t(t[i]) - big_m[i] - borrow;
      t[i] = static_cast<std::uint32_t>(d);
      borrow = d < 0 ? 1 : 0;
    }
  }
  bytes_t out(64);
  for (std::size_t i = 0; i < 64; ++i) out[i] = static_cast<unsigned char>(t[i / 4] >> (8 * (i % 4)));
  return out;
}

// x + delta as a 512-bit number; empty when that leaves 0 .. 2^512 - 1.
bytes_t offset(bytes_t x, int delta) {
  const unsigned char stop = delta > 0 ? 0x00 : 0xff;
  for (auto& b : x) {
    b = static_cast<unsigned char>(b + delta);
    if (b != stop) return x;
  }
  return {};
}

// -m^-1 mod 2^16 found by search, independent of the Newton steps of the code.
std::uint16_t factor_of(const bytes_t& m) {
  const unsigned m0 = m[0] | (m[1] << 8);
  for (unsigned f = 0; f < 0x10000u; ++f)
    if (((m0 * f) & 0xffffu) == 0xffffu) return static_cast<std::uint16_t>(f);
  return 0;
}

TEST(MontgomeryProduct, EqualsBitAtATimeReferenceOnEdgeAndRandomOperands) {
  std::mt19937 random(20261206);
  auto random_bytes = [&random](std::size_t n) {
    bytes_t x(n);
    for (auto& b : x) b = static_cast<unsigned char>(random());
    return x;
  };
  bytes_t all_ones(64, 0xff), top_and_one(64, 0), small(64, 0), random_odd = random_bytes(64);
  top_and_one[0] = 1;
  top_and_one[63] = 0x80;
  small[0] = 0xf1;  // 65521
  small[1] = 0xff;
  random_odd[0] |= 1;
  struct modulus_t {
    const char* name;
    bytes_t m;
  } moduli[] = {
      {"p of the built-in key", bytes_t(upd::key::modulus_p, upd::key::modulus_p + 64)},
      {"2^512 - 1", all_ones},
      {"2^511 + 1", top_and_one},
      {"65521, far below the operands", small},
      {"random odd", random_odd},
  };
  for (const auto& modulus : moduli) {
    const std::uint16_t factor = factor_of(modulus.m);
    ASSERT_EQ((((modulus.m[0] | (modulus.m[1] << 8)) * unsigned(factor)) & 0xffffu), 0xffffu);
    bytes_t one(64, 0);
    one[0] = 1;
    // Edge operands, those at or above m included: the words must carry and reduce the same.
    std::vector<bytes_t> operands = {bytes_t(64, 0), one, modulus.m, offset(modulus.m, -1),
                                     offset(modulus.m, 1), all_ones};
    for (int i = 0; i < 6; ++i) operands.push_back(random_bytes(64));
    for (const auto& a : operands) {
      for (const auto& b : operands) {
        if (a.empty() || b.empty()) continue;
        const bytes_t expected = reference_product(a, b, modulus.m);
        for (int bits : word_widths()) {
          bytes_t out(64);
          ASSERT_TRUE(upd::montgomery_product_512(bits, out.data(), a.data(), b.data(),
                                                  modulus.m.data(), factor));
          EXPECT_EQ(hex(out.data(), 64), hex(expected.data(), 64))
              << modulus.name << ", " << bits << "-bit words, a = " << hex(a.data(), 64)
              << ", b = " << hex(b.data(), 64);
        }
      }
    }
  }
}

TEST(MontgomeryProduct, RefusesWordWidthsItDoesNotHave) {
  bytes_t a(64, 1), m(64, 0xff), out(64, 0);
  for (int bits : {0, 8, 16, 128}) {
    EXPECT_FALSE(upd::montgomery_product_512(bits, out.data(), a.data(), a.data(), m.data(), 1))
        << bits;
    EXPECT_EQ(upd::dsa_verify_on_words(bits, upd::built_in_key_tables(), PublicKey, a.data(),
                                       hash_of({'a'})),
              -1)
        << bits;
  }
}

TEST_F(DevelopmentKeySignature, EveryWordWidthAcceptsAndRefusesAlike) {
  const upd::key_tables_t& tables = upd::built_in_key_tables();
  for (const auto& s : v_.valid) {
    SCOPED_TRACE("message of " + std::to_string(s.message.size()) + " bytes");
    const upd::sha0_t sha = hash_of(s.message);
    bytes_t sig = upd::hex_to_bytes(s.signature);
    bytes_t changed_message = s.message;
    changed_message.back() ^= 1;
    const upd::sha0_t changed_sha = hash_of(changed_message);
    bytes_t changed_s = sig;
    changed_s[20] ^= 2;  // s stays below q, so the check runs to the end
    for (int bits : word_widths()) {
      SCOPED_TRACE(std::to_string(bits) + "-bit words");
      EXPECT_EQ(upd::dsa_verify_on_words(bits, tables, PublicKey, sig.data(), sha), 0);
      EXPECT_EQ(upd::dsa_verify_on_words(bits, tables, PublicKey, sig.data(), changed_sha), 3);
      EXPECT_EQ(upd::dsa_verify_on_words(bits, tables, PublicKey, changed_s.data(), sha), 3);
    }
  }
}

}  // namespace
