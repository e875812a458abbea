// Signing core of the signing tool: keys, key generation, signatures in the updater's encoding.
#pragma once

#include <cstddef>
#include <string>

namespace sign {

// Big-endian hexadecimal values as they stand in the key files.
struct public_key_t {
    std::string p, q, g, y;
};

struct private_key_t {
    std::string p, q, g, y, x;
    public_key_t public_part() const { return {p, q, g, y}; }
};

// Reads "OUT.key" (p, q, g, y, x); throws std::runtime_error naming the file and line on a
// malformed file.
private_key_t load_private_key(const std::string& path);

// Makes a new key pair (512-bit p, 160-bit q) and writes OUT.pub and OUT.key, each beginning
// with the line "# <comment>". Refuses to overwrite an existing file; OUT.key is made mode 0600.
void generate_key(const std::string& out_basename, const std::string& comment);
// OUT.pub (mode 0644), then OUT.key (0600), neither over an existing file or link; a failure
// leaves neither behind.
void write_key_pair(const std::string& out_basename, const std::string& pub, const std::string& key);

// The signature text of the data: 80 lower-case hex digits, r then s, each 20 bytes
// little-endian, over e = the SHA-0 chaining words read with h0 as the least significant word.
std::string sign_hex(const private_key_t& key, const void* data, std::size_t size);

// sign_hex, checked against the key's own public values so that a wrong key file is noticed here
// rather than by the updater: std::runtime_error when it fails.
std::string sign_checked(const private_key_t& key, const std::string& data);

// Plain big-number check of a signature text against a key file's values, following the same
// encoding; true when valid. Independent of the updater's own verifier.
bool verify_hex(const public_key_t& key, const void* data, std::size_t size, const std::string& signature_text);

}  // namespace sign
