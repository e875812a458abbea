// Signatures made at test time with the development key, for the tests of the signed formats.
#pragma once

#include "tools/tavik-sign/signer.hpp"

#include <string>

namespace test_support {

inline const sign::private_key_t& development_key() {
    static const sign::private_key_t key = sign::load_private_key(TAVIK_SOURCE_DIR "/keys/development.key");
    return key;
}

// The hex signature of data, as the signing tool writes it.
inline std::string signature_of(const std::string& data) {
    return sign::sign_hex(development_key(), data.data(), data.size());
}

}  // namespace test_support
