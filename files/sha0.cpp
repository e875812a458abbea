// SHA-0 block function, padding and digest.
#include "files/sha0.hpp"

#include <cstring>

namespace upd {

namespace {

inline std::uint32_t rol(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t load_be(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
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

// The 80 steps, unrolled by fives so that the five working words rotate by renaming; the
// schedule is kept in a ring of 16 words.
#define UPD_SHA0_STEP(a, b, c, d, e, f, k, t)                                             \
    do {                                                                                  \
        if ((t) >= 16) {                                                                  \
            w[(t)&15] = w[((t)-3) & 15] ^ w[((t)-8) & 15] ^ w[((t)-14) & 15] ^ w[(t)&15]; \
        }                                                                                 \
        e += rol(a, 5) + (f) + (k) + w[(t)&15];                                           \
        b = rol(b, 30);                                                                   \
    } while (0)
#define UPD_SHA0_F1(b, c, d) (d ^ (b & (c ^ d)))
#define UPD_SHA0_F2(b, c, d) (b ^ c ^ d)
#define UPD_SHA0_F3(b, c, d) ((b & c) | (d & (b | c)))
#define UPD_SHA0_FIVE(F, k, t)                            \
    UPD_SHA0_STEP(a, b, c, d, e, F(b, c, d), k, (t));     \
    UPD_SHA0_STEP(e, a, b, c, d, F(a, b, c), k, (t) + 1); \
    UPD_SHA0_STEP(d, e, a, b, c, F(e, a, b), k, (t) + 2); \
    UPD_SHA0_STEP(c, d, e, a, b, F(d, e, a), k, (t) + 3); \
    UPD_SHA0_STEP(b, c, d, e, a, F(c, d, e), k, (t) + 4)

void sha0_t::compress(const unsigned char* block) {
    std::uint32_t w[16];
    for (int t = 0; t < 16; ++t) w[t] = load_be(block + 4 * t);
    // The one difference from SHA-1: the expanded word W(t) is not rotated.
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    UPD_SHA0_FIVE(UPD_SHA0_F1, 0x5A827999u, 0);
    UPD_SHA0_FIVE(UPD_SHA0_F1, 0x5A827999u, 5);
    UPD_SHA0_FIVE(UPD_SHA0_F1, 0x5A827999u, 10);
    UPD_SHA0_FIVE(UPD_SHA0_F1, 0x5A827999u, 15);
    UPD_SHA0_FIVE(UPD_SHA0_F2, 0x6ED9EBA1u, 20);
    UPD_SHA0_FIVE(UPD_SHA0_F2, 0x6ED9EBA1u, 25);
    UPD_SHA0_FIVE(UPD_SHA0_F2, 0x6ED9EBA1u, 30);
    UPD_SHA0_FIVE(UPD_SHA0_F2, 0x6ED9EBA1u, 35);
    UPD_SHA0_FIVE(UPD_SHA0_F3, 0x8F1BBCDCu, 40);
    UPD_SHA0_FIVE(UPD_SHA0_F3, 0x8F1BBCDCu, 45);
    UPD_SHA0_FIVE(UPD_SHA0_F3, 0x8F1BBCDCu, 50);
    UPD_SHA0_FIVE(UPD_SHA0_F3, 0x8F1BBCDCu, 55);
    UPD_SHA0_FIVE(UPD_SHA0_F2, 0xCA62C1D6u, 60);
    UPD_SHA0_FIVE(UPD_SHA0_F2, 0xCA62C1D6u, 65);
    UPD_SHA0_FIVE(UPD_SHA0_F2, 0xCA62C1D6u, 70);
    UPD_SHA0_FIVE(UPD_SHA0_F2, 0xCA62C1D6u, 75);
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

#undef UPD_SHA0_FIVE
#undef UPD_SHA0_F1
#undef UPD_SHA0_F2
#undef UPD_SHA0_F3
#undef UPD_SHA0_STEP

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
    const std::uint32_t bits = bytes_ * 8u;  // modulo 2^32, as the signers count it
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
