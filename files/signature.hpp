// Check of the detached signatures of update files (DSA, 512-bit p, 160-bit q, SHA-0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "files/sha0.hpp"
#include "framework/cf_proto_exception.hpp"

namespace upd {

// Pairs of hex digits to bytes, the first digit the high nibble. An empty text or one of odd
// length gives an empty vector; a character that is not a hex digit counts as 0.
std::vector<unsigned char> hex_to_bytes(const std::string& text);
// The same for an even number of digits, into room for half as many bytes.
void hex_to_bytes(const char* hex, const char* hex_end, unsigned char* out);

// The constant data a verification works with (all numbers little-endian); see public_key.hpp.
struct key_tables_t {
    const unsigned char* modulus_p;        // 64 bytes
    const unsigned char* order_q;          // 20 bytes
    const unsigned char* q_2_320;          // 20 bytes
    const unsigned char* q_2_672;          // 20 bytes
    const unsigned char* generator_table;  // 4096 bytes
    std::uint16_t p_factor;
    std::uint16_t q_factor;
};

// The tables generated into the program from its configured public key.
const key_tables_t& built_in_key_tables();

// The core check: public_key is the 256-byte PublicKey layout, signature the 40 decoded bytes
// (r then s, little-endian), finished_hash the SHA-0 state after finish(). Returns 0 for a
// valid signature and a non-zero value otherwise.
int dsa_verify(const unsigned char* public_key, const unsigned char* signature, const sha0_t& finished_hash);
int dsa_verify(const key_tables_t& tables, const unsigned char* public_key, const unsigned char* signature,
               const sha0_t& finished_hash);

// test hook: begin
// The same check with the arithmetic modulo p on words of `bits` bits (32, or 64 where the
// compiler has 128-bit products), for the tests of either width; -1 for another width.
int dsa_verify_on_words(int bits, const key_tables_t& tables, const unsigned char* public_key,
                        const unsigned char* signature, const sha0_t& finished_hash);

// The check's Montgomery product on 64-byte little-endian numbers, out = a b 2^-512 mod m
// (below 2^512, not necessarily below m; m odd, factor = -m^-1 mod 2^16), on words of `bits`
// bits as above. False for another width.
bool montgomery_product_512(int bits, unsigned char* out, const unsigned char* a, const unsigned char* b,
                            const unsigned char* m, std::uint16_t factor);
// test hook: end

// A signed file whose signature does not verify (a forgery, or damage in the covered bytes), with
// the file kind's code and text.
class bad_signature_t : public cf_proto_exception_t {
public:
    using cf_proto_exception_t::cf_proto_exception_t;
};

// True only when signature_text is a valid signature of the `size` bytes at `data` under the
// built-in key. An empty range is never valid. Throws only std::bad_alloc.
bool verify_signature(const void* data, std::size_t size, const std::string& signature_text);

}  // namespace upd
