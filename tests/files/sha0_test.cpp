// SHA-0 digests against an independent implementation, at the padding edges and split feeds.
#include "files/sha0.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files/signature.hpp"

namespace {

struct digest_case_t {
  std::vector<unsigned char> message;
  std::string digest;  // hex, h0 first, big-endian words
};

std::string hex(const unsigned char* p, std::size_t n) {
  std::string out;
  char buf[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", p[i]);
    out += buf;
  }
  return out;
}

std::vector<digest_case_t> load_digest_cases() {
  std::ifstream in(TAVIK_TEST_DATA "/signature/vectors.txt");
  std::vector<digest_case_t> cases;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind, message, digest;
    fields >> kind >> message >> digest;
    if (kind != "sha0") continue;
    cases.push_back({message == "-" ? std::vector<unsigned char>{} : upd::hex_to_bytes(message),
                     digest});
  }
  return cases;
}

std::string digest_of(const std::vector<unsigned char>& m, std::size_t chunk) {
  upd::sha0_t sha;
  sha.start();
  if (chunk == 0) {
    sha.feed(m.data(), m.size());
  } else {
    for (std::size_t at = 0; at < m.size(); at += chunk)
      sha.feed(m.data() + at, std::min(chunk, m.size() - at));
  }
  sha.finish();
  const auto d = sha.digest();
  return hex(d.data(), d.size());
}

TEST(Sha0, KnownDigestOfAbcAndEmptyInput) {
  upd::sha0_t sha;
  sha.start();
  sha.feed("abc", 3);
  sha.finish();
  const auto d = sha.digest();
  EXPECT_EQ(hex(d.data(), d.size()), "0164b8a914cd2a5e74c4f7ff082c4d97f1edf880");
  EXPECT_EQ(sha.h[0], 0x0164b8a9u);
  EXPECT_EQ(sha.h[4], 0xf1edf880u);
  // The same object started again forgets the earlier input.
  sha.start();
  sha.finish();
  const auto e = sha.digest();
  EXPECT_EQ(hex(e.data(), e.size()), "f96cea198ad1dd5617ac084a3d92c6107708c0ef");
}

TEST(Sha0, MatchesIndependentImplementationAtPaddingEdges) {
  const auto cases = load_digest_cases();
  ASSERT_GE(cases.size(), 10u) << "vectors.txt missing or truncated";
  bool saw[3] = {false, false, false};  // lengths 55, 56 and 64: one or two padding blocks
  for (const auto& c : cases) {
    SCOPED_TRACE("length " + std::to_string(c.message.size()));
    saw[0] = saw[0] || c.message.size() == 55;
    saw[1] = saw[1] || c.message.size() == 56;
    saw[2] = saw[2] || c.message.size() == 64;
    EXPECT_EQ(digest_of(c.message, 0), c.digest);
  }
  EXPECT_TRUE(saw[0] && saw[1] && saw[2]);
}

TEST(Sha0, SplitFeedsGiveTheSameDigestAsOneFeed) {
  const auto cases = load_digest_cases();
  ASSERT_FALSE(cases.empty());
  for (const auto& c : cases) {
    for (std::size_t chunk : {1u, 3u, 63u, 64u, 65u}) {
      SCOPED_TRACE("length " + std::to_string(c.message.size()) + " chunk " +
                   std::to_string(chunk));
      EXPECT_EQ(digest_of(c.message, chunk), c.digest);
    }
  }
}

}  // namespace
