// SHA-0 block function, padding and digest.
#include "files/sha0.hpp"

#include <cstring>

namespace upd {

namespace {

inline std::uint32_t rol(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t load_be(const unsigned char* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
         std::uint32_t(p[3]);
}

inline void store_be(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace

void sha0_t::start() {
  h[0] = 0x67452301u;
  h[1] = 0xEFCDAB89u;
  h[2] = 0x98BADCFEu;
  h[3] = 0x10325476u;
  h[4] = 0xC3D2E1F0u;
  used_ = 0;
  bytes_ = 0;
}

void sha0_t::compress(const unsigned char* block) {
  std::uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = load_be(block + 4 * t);
  // The one difference from SHA-1: no rotation of the expanded word.
  for (int t = 16; t < 80; ++t) w[t] = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];

  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int t = 0; t < 80; ++t) {
    std::uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const std::uint32_t temp = rol(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = rol(b, 30);
    b = a;
    a = temp;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

void sha0_t::feed(const void* data, std::size_t size) {
  const unsigned char* in = static_cast<const unsigned char*>(data);
  bytes_ += static_cast<std::uint32_t>(size);
  if (used_ != 0) {
    const std::size_t take = size < 64 - used_ ? size : 64 - used_;
    std::memcpy(block_ + used_, in, take);
    used_ += take;
    in += take;
    size -= take;
    if (used_ < 64) return;
    compress(block_);
    used_ = 0;
  }
  for (; size >= 64; in += 64, size -= 64) compress(in);
  if (size != 0) {
    std::memcpy(block_, in, size);
    used_ = size;
  }
}

void sha0_t::finish() {
  const std::uint32_t bits = bytes_ * 8u;  // modulo 2^32 by design
  block_[used_++] = 0x80;
  if (used_ > 56) {
    std::memset(block_ + used_, 0, 64 - used_);
    compress(block_);
    used_ = 0;
  }
  std::memset(block_ + used_, 0, 60 - used_);
  store_be(block_ + 60, bits);  // the upper 32 bits of the count stay zero
  compress(block_);
  used_ = 0;
}

std::array<unsigned char, 20> sha0_t::digest() const {
  std::array<unsigned char, 20> out;
  for (int i = 0; i < 5; ++i) store_be(out.data() + 4 * i, h[i]);
  return out;
}

}  // namespace upd
