// Build-time generator of the verifier's key tables from a public key file (p, q, g, y).
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tools/key-tables/key_file.hpp"

namespace {

struct bn_free_t {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct ctx_free_t {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using bn_t = std::unique_ptr<BIGNUM, bn_free_t>;

bn_t fresh() {
    bn_t b(BN_new());
    if (!b) throw std::runtime_error("out of memory");
    return b;
}

bn_t from_hex(const std::string& hex) {
    BIGNUM* b = nullptr;
    if (BN_hex2bn(&b, hex.c_str()) == 0) throw std::runtime_error("bad hexadecimal number");
    return bn_t(b);
}

void check(int ok) {
    if (!ok) throw std::runtime_error("big-number arithmetic failed");
}

// Little-endian bytes of a number, padded to `size`.
std::vector<unsigned char> le_bytes(const BIGNUM* b, int size) {
    std::vector<unsigned char> out(static_cast<std::size_t>(size));
    check(BN_bn2lebinpad(b, out.data(), size) == size);
    return out;
}

// -m^-1 modulo 2^16 for an odd m, by Newton's iteration on its lowest word.
std::uint16_t montgomery_factor(const BIGNUM* m) {
    const std::vector<unsigned char> low = le_bytes(m, BN_num_bytes(m) < 4 ? 4 : BN_num_bytes(m));
    const std::uint32_t m0 = std::uint32_t(low[0]) | (std::uint32_t(low[1]) << 8) | (std::uint32_t(low[2]) << 16) |
                             (std::uint32_t(low[3]) << 24);
    std::uint32_t inv = m0;                            // right in the lowest 3 bits for any odd number
    for (int i = 0; i < 4; ++i) inv *= 2u - m0 * inv;  // each step doubles the right bits
    return static_cast<std::uint16_t>(0u - inv);
}

void emit(std::ostream& out, const char* declaration, const std::vector<unsigned char>& bytes) {
    out << declaration << " = {";
    char buf[8];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "0x%02x", bytes[i]);
        out << (i % 16 == 0 ? "\n  " : " ") << buf << (i + 1 < bytes.size() ? "," : "");
    }
    out << "};\n";
}

struct dsa_key_t {
    bn_t p, q, g, y;
};

// Refuses a key that the verifier cannot work with; the message names the first fault.
void check_key(const dsa_key_t& k, BN_CTX* ctx) {
    if (BN_num_bits(k.p.get()) != 512) throw std::runtime_error("p must have exactly 512 bits");
    if (BN_num_bits(k.q.get()) != 160) throw std::runtime_error("q must have exactly 160 bits (top bit set)");
    if (BN_check_prime(k.p.get(), ctx, nullptr) != 1) throw std::runtime_error("p is not prime");
    if (BN_check_prime(k.q.get(), ctx, nullptr) != 1) throw std::runtime_error("q is not prime");
    bn_t pm1 = fresh(), rem = fresh(), t = fresh();
    check(BN_sub(pm1.get(), k.p.get(), BN_value_one()));
    check(BN_mod(rem.get(), pm1.get(), k.q.get(), ctx));
    if (!BN_is_zero(rem.get())) throw std::runtime_error("q does not divide p - 1");
    const std::pair<const char*, const BIGNUM*> members[] = {{"g", k.g.get()}, {"y", k.y.get()}};
    for (const auto& m : members) {
        if (BN_cmp(m.second, BN_value_one()) <= 0 || BN_cmp(m.second, pm1.get()) >= 0)
            throw std::runtime_error(std::string(m.first) + " must lie between 1 and p - 1");
        check(BN_mod_exp(t.get(), m.second, k.q.get(), k.p.get(), ctx));
        if (!BN_is_one(t.get())) throw std::runtime_error(std::string(m.first) + " is not of order q");
    }
}

// x * 2^512 mod p, as 64 little-endian bytes.
std::vector<unsigned char> montgomery_form(const BIGNUM* x, const BIGNUM* r, const BIGNUM* p, BN_CTX* ctx) {
    bn_t t = fresh();
    check(BN_mod_mul(t.get(), x, r, p, ctx));
    return le_bytes(t.get(), 64);
}

std::string generate(const dsa_key_t& k, BN_CTX* ctx, const std::string& origin, bool development,
                     const std::string& fingerprint) {
    bn_t r = fresh(), two = fresh(), e = fresh(), base = fresh(), power = fresh(), sq = fresh();
    check(BN_set_word(two.get(), 2));
    check(BN_set_word(e.get(), 512));
    check(BN_mod_exp(r.get(), two.get(), e.get(), k.p.get(), ctx));

    std::vector<unsigned char> table, public_key;
    bn_t step = fresh();  // 2^40: G(i+1) = G(i)^(2^40)
    check(BN_set_word(e.get(), 40));
    check(BN_exp(step.get(), two.get(), e.get(), ctx));

    check(BN_copy(base.get(), k.g.get()) != nullptr);
    for (int i = 0; i < 4; ++i) {
        check(BN_mod_sqr(sq.get(), base.get(), k.p.get(), ctx));
        check(BN_copy(power.get(), base.get()) != nullptr);
        for (int j = 0; j < 16; ++j) {  // odd powers 1, 3, ..., 31
            auto bytes = montgomery_form(power.get(), r.get(), k.p.get(), ctx);
            table.insert(table.end(), bytes.begin(), bytes.end());
            check(BN_mod_mul(power.get(), power.get(), sq.get(), k.p.get(), ctx));
        }
        check(BN_mod_exp(base.get(), base.get(), step.get(), k.p.get(), ctx));
    }
    check(BN_copy(base.get(), k.y.get()) != nullptr);
    for (int i = 0; i < 4; ++i) {
        auto bytes = montgomery_form(base.get(), r.get(), k.p.get(), ctx);
        public_key.insert(public_key.end(), bytes.begin(), bytes.end());
        check(BN_mod_exp(base.get(), base.get(), step.get(), k.p.get(), ctx));
    }

    bn_t q320 = fresh(), q672 = fresh();
    check(BN_set_word(e.get(), 320));
    check(BN_mod_exp(q320.get(), two.get(), e.get(), k.q.get(), ctx));
    check(BN_set_word(e.get(), 672));
    check(BN_mod_exp(q672.get(), two.get(), e.get(), k.q.get(), ctx));

    std::ostringstream out;
    out << "// Key tables generated at build time from " << origin << "; do not edit.\n"
        << "#include \"files/public_key.hpp\"\n\n";
    emit(out, "extern const unsigned char PublicKey[256]", public_key);
    out << "\nnamespace upd {\nnamespace key {\n\n";
    emit(out, "extern const unsigned char modulus_p[64]", le_bytes(k.p.get(), 64));
    emit(out, "extern const unsigned char order_q[20]", le_bytes(k.q.get(), 20));
    emit(out, "extern const unsigned char q_2_320[20]", le_bytes(q320.get(), 20));
    emit(out, "extern const unsigned char q_2_672[20]", le_bytes(q672.get(), 20));
    out << "extern const std::uint16_t p_factor = " << montgomery_factor(k.p.get()) << "u;\n";
    out << "extern const std::uint16_t q_factor = " << montgomery_factor(k.q.get()) << "u;\n";
    emit(out, "extern const unsigned char generator_table[4096]", table);
    out << "extern const bool development = " << (development ? "true" : "false") << ";\n";
    out << "extern const char fingerprint[17] = \"" << fingerprint << "\";\n";
    out << "\n}  // namespace key\n}  // namespace upd\n";
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::string(argv[3]) != "--development")) {
        std::fprintf(stderr, "usage: %s PUBLIC_KEY_FILE OUTPUT.cpp [--development]\n", argv[0]);
        return 2;
    }
    const std::string key_path = argv[1], out_path = argv[2];
    const bool development = argc == 4;
    try {
        keyfile::values_t values;
        try {
            values = keyfile::load(key_path, {"p", "q", "g", "y"});
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string(e.what()) +
                                     " (a public key file has exactly the lines p, q, g and y)");
        }
        dsa_key_t k{from_hex(values["p"]), from_hex(values["q"]), from_hex(values["g"]), from_hex(values["y"])};
        std::unique_ptr<BN_CTX, ctx_free_t> ctx(BN_CTX_new());
        if (!ctx) throw std::runtime_error("out of memory");
        try {
            check_key(k, ctx.get());
        } catch (const std::exception& e) {
            throw std::runtime_error(key_path + ": unusable public key: " + e.what());
        }
        const std::string text = generate(k, ctx.get(), key_path, development, keyfile::fingerprint(values));
        std::ofstream f(out_path, std::ios::binary | std::ios::trunc);  // a build output: one cut short is made again
        f << text;
        f.close();
        if (!f) std::remove(out_path.c_str()), throw std::runtime_error(out_path + ": cannot be written");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavik-key-tables: %s\n", e.what());
        return 1;
    }
    return 0;
}
