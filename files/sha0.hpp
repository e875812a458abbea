// SHA-0: the digest that signed update files are hashed with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace upd {

// SHA-1 without the one-bit rotation in the message schedule. The message length is
// taken as a 32-bit bit count (byte count times 8, modulo 2^32); the signed files are far
// below the 512 MiB where this starts to differ from a 64-bit count.
class sha0_t {
public:
    // The five chaining words; after finish() they are the digest, h[0] first.
    std::uint32_t h[5];

    sha0_t() { start(); }

    void start();
    void feed(const void* data, std::size_t size);
    void finish();

    // The 20-byte digest: h[0] to h[4], each word big-endian. Valid after finish().
    std::array<unsigned char, 20> digest() const;

private:
    void compress(const unsigned char* block);

    unsigned char block_[64];
    std::size_t used_ = 0;
    std::uint32_t bytes_ = 0;  // the length only matters modulo 2^29 bytes
};

}  // namespace upd
