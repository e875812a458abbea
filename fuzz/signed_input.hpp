// Signs fuzz inputs with the development key, so that the readers' line parsers are reached
// behind their signature checks (the fuzz build trusts that key).
#pragma once

#include "tools/tavik-sign/signer.hpp"

#include <string>

namespace fuzz {

inline std::string sign(const std::string& bytes) {
    static const sign::private_key_t key = sign::load_private_key(TAVIK_SOURCE_DIR "/keys/development.key");
    return sign::sign_hex(key, bytes.data(), bytes.size());
}

}  // namespace fuzz
