// A log that drops every line (at Debug: each text is still built); the development keys' signatures.
#pragma once

#include "framework/cf_log.hpp"
#include "tools/tavik-sign/signing_keys.hpp"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace fuzz {

struct quiet_log_t : cf_log_t {
    void open() override {}
    void write(level_t, const std::string&) override {}
    void write(const std::string&, int, const std::string&) override {}
    void out_of_memory() override {}
};

inline void install_quiet_log() {
    static const bool installed = (set_log(std::make_shared<quiet_log_t>()), cf_log_t::level_ = cf_log_t::debug, true);
    (void)installed;
}

inline std::string sign(const std::string& bytes) {  // DSA, then an Ed25519 part
    static const sign::signing_keys_t keys = sign::signing_keys_t::load(
        TAVIK_SOURCE_DIR "/keys/development.key", {TAVIK_SOURCE_DIR "/keys/development-ed25519.key"});
    return keys.signature(bytes);
}

}  // namespace fuzz
