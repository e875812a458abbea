// For the fuzz targets: a log that drops every line (installed at Debug, so that the fuzzed code
// still builds each text), and signatures with the development key, which the fuzz build trusts.
#pragma once

#include "framework/cf_log.hpp"
#include "tools/tavik-sign/signer.hpp"

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

inline std::string sign(const std::string& bytes) {
    static const sign::private_key_t key = sign::load_private_key(TAVIK_SOURCE_DIR "/keys/development.key");
    return sign::sign_hex(key, bytes.data(), bytes.size());
}

}  // namespace fuzz
