// Signing core: DSA over the SHA-0 value e with OpenSSL big numbers, key generation and files.
#include "tools/tavik-sign/signer.hpp"

#include <fcntl.h>
#include <openssl/bn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "files/sha0.hpp"
#include "files/signature.hpp"
#include "framework/digest.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"
#include "tools/key-tables/key_file.hpp"

namespace sign {

namespace {

struct bn_free_t {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct ctx_free_t {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using bn_t = std::unique_ptr<BIGNUM, bn_free_t>;
using ctx_t = std::unique_ptr<BN_CTX, ctx_free_t>;

void check(int ok) {
    if (!ok) throw std::runtime_error("big-number arithmetic failed");
}

bn_t fresh() {
    bn_t b(BN_new());
    if (!b) throw std::bad_alloc();
    return b;
}

ctx_t fresh_ctx() {
    ctx_t c(BN_CTX_new());
    if (!c) throw std::bad_alloc();
    return c;
}

bn_t from_hex(const std::string& hex) {
    BIGNUM* b = nullptr;
    if (hex.empty() || BN_hex2bn(&b, hex.c_str()) != static_cast<int>(hex.size()))
        throw std::runtime_error("bad hexadecimal number in key");
    return bn_t(b);
}

// The number's bytes in hex digits: big-endian as the key files hold it or, given a `size`, that
// many bytes little-endian as signatures hold it.
std::string to_hex(const BIGNUM* b, int size = 0) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size ? size : BN_num_bytes(b)));
    const int done = size ? BN_bn2lebinpad(b, bytes.data(), size) : BN_bn2bin(b, bytes.data());
    check(done == static_cast<int>(bytes.size()));
    return ::to_hex(bytes.data(), bytes.size());
}

// e: the five chaining words of SHA-0 over the data, h0 least significant.
bn_t digest_value(const void* data, std::size_t size) {
    upd::sha0_t sha;
    sha.start();
    sha.feed(data, size);
    sha.finish();
    unsigned char le[20];
    for (int i = 0; i < 5; ++i)
        for (int b = 0; b < 4; ++b) le[4 * i + b] = static_cast<unsigned char>(sha.h[i] >> (8 * b));
    bn_t e(BN_lebin2bn(le, sizeof le, nullptr));
    if (!e) throw std::bad_alloc();
    return e;
}

void write_new_file(const std::string& path, const std::string& text, mode_t mode) {
    fd_guard_t fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() < 0) throw std::runtime_error("\"" + path + "\": " + std::strerror(errno));
    boost::system::error_code ec;
    write_all(fd.get(), text.data(), text.size(), ec);
    if (!ec && fd.close_checked() != 0) ec.assign(errno, boost::system::system_category());
    if (!ec) return;
    ::unlink(path.c_str());
    throw std::runtime_error("\"" + path + "\": " + ec.message());
}

}  // namespace

void write_key_pair(const std::string& out_basename, const std::string& pub, const std::string& key) {
    write_new_file(out_basename + ".pub", pub, 0644);
    try {
        write_new_file(out_basename + ".key", key, 0600);
    } catch (...) {
        ::unlink((out_basename + ".pub").c_str());
        throw;
    }
}

private_key_t load_private_key(const std::string& path) {
    auto v = keyfile::load(path, {"p", "q", "g", "y", "x"});
    return private_key_t{v["p"], v["q"], v["g"], v["y"], v["x"]};
}

void generate_key(const std::string& out_basename, const std::string& comment) {
    if (comment.find('\n') != std::string::npos) throw std::runtime_error("the comment must be a single line");
    ctx_t ctx = fresh_ctx();
    bn_t q = fresh(), p = fresh(), x0 = fresh(), c = fresh(), q2 = fresh(), pm1 = fresh(), cofactor = fresh(),
         h = fresh(), g = fresh(), x = fresh(), y = fresh();

    // q: a 160-bit prime whose top bit is set.
    check(BN_generate_prime_ex(q.get(), 160, 0, nullptr, nullptr, nullptr));
    if (BN_num_bits(q.get()) != 160) throw std::runtime_error("prime generation gave a short q");
    check(BN_lshift1(q2.get(), q.get()));
    // p = X - (X mod 2q) + 1 for random 512-bit X, until p is a 512-bit prime.
    for (;;) {
        check(BN_rand(x0.get(), 512, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY));
        check(BN_mod(c.get(), x0.get(), q2.get(), ctx.get()));
        check(BN_sub(p.get(), x0.get(), c.get()));
        check(BN_add(p.get(), p.get(), BN_value_one()));
        if (BN_num_bits(p.get()) == 512 && BN_check_prime(p.get(), ctx.get(), nullptr) == 1) break;
    }
    check(BN_sub(pm1.get(), p.get(), BN_value_one()));
    check(BN_div(cofactor.get(), nullptr, pm1.get(), q.get(), ctx.get()));
    // g = h^((p-1)/q) for the first h from 2 on that does not give 1.
    for (BN_ULONG hw = 2;; ++hw) {
        check(BN_set_word(h.get(), hw));
        check(BN_mod_exp(g.get(), h.get(), cofactor.get(), p.get(), ctx.get()));
        if (!BN_is_one(g.get())) break;
    }
    do check(BN_priv_rand_range(x.get(), q.get()));
    while (BN_is_zero(x.get()));
    check(BN_mod_exp(y.get(), g.get(), x.get(), p.get(), ctx.get()));

    const std::string pub = "p = " + to_hex(p.get()) + "\nq = " + to_hex(q.get()) + "\ng = " + to_hex(g.get()) +
                            "\ny = " + to_hex(y.get()) + "\n";
    write_key_pair(out_basename, "# " + comment + "\n" + pub,
                   "# " + comment + " (PRIVATE)\n" + pub + "x = " + to_hex(x.get()) + "\n");
}

std::string sign_hex(const private_key_t& key, const void* data, std::size_t size) {
    ctx_t ctx = fresh_ctx();
    bn_t p = from_hex(key.p), q = from_hex(key.q), g = from_hex(key.g), x = from_hex(key.x);
    bn_t e = digest_value(data, size);
    bn_t k = fresh(), kinv = fresh(), r = fresh(), s = fresh(), t = fresh();
    for (;;) {
        check(BN_priv_rand_range(k.get(), q.get()));
        if (BN_is_zero(k.get())) continue;
        check(BN_mod_exp(t.get(), g.get(), k.get(), p.get(), ctx.get()));
        check(BN_nnmod(r.get(), t.get(), q.get(), ctx.get()));
        if (BN_is_zero(r.get())) continue;
        // s = k^-1 (e + x r) mod q; e is taken as it is, the reduction modulo q is implicit.
        if (!BN_mod_inverse(kinv.get(), k.get(), q.get(), ctx.get()))
            throw std::runtime_error("q of the key is not prime");
        check(BN_mod_mul(t.get(), x.get(), r.get(), q.get(), ctx.get()));
        check(BN_mod_add(t.get(), t.get(), e.get(), q.get(), ctx.get()));
        check(BN_mod_mul(s.get(), kinv.get(), t.get(), q.get(), ctx.get()));
        if (!BN_is_zero(s.get())) break;
    }
    return to_hex(r.get(), 20) + to_hex(s.get(), 20);
}

std::string sign_checked(const private_key_t& key, const std::string& data) {
    const std::string signature = sign_hex(key, data.data(), data.size());
    if (!verify_hex(key.public_part(), data.data(), data.size(), signature))
        throw std::runtime_error("the signature made does not verify under the key's public value");
    return signature;
}

bool verify_hex(const public_key_t& key, const void* data, std::size_t size, const std::string& signature_text) {
    if (size == 0) return false;
    const std::vector<unsigned char> sig = upd::hex_to_bytes(signature_text);
    if (sig.size() < 40) return false;
    ctx_t ctx = fresh_ctx();
    bn_t p = from_hex(key.p), q = from_hex(key.q), g = from_hex(key.g), y = from_hex(key.y);
    bn_t r(BN_lebin2bn(sig.data(), 20, nullptr)), s(BN_lebin2bn(sig.data() + 20, 20, nullptr));
    if (!r || !s) throw std::bad_alloc();
    if (BN_is_zero(r.get()) || BN_cmp(r.get(), q.get()) >= 0) return false;
    if (BN_is_zero(s.get()) || BN_cmp(s.get(), q.get()) >= 0) return false;
    bn_t e = digest_value(data, size);
    bn_t w = fresh(), u1 = fresh(), u2 = fresh(), a = fresh(), b = fresh(), v = fresh();
    if (!BN_mod_inverse(w.get(), s.get(), q.get(), ctx.get())) return false;
    check(BN_mod_mul(u1.get(), e.get(), w.get(), q.get(), ctx.get()));
    check(BN_mod_mul(u2.get(), r.get(), w.get(), q.get(), ctx.get()));
    check(BN_mod_exp(a.get(), g.get(), u1.get(), p.get(), ctx.get()));
    check(BN_mod_exp(b.get(), y.get(), u2.get(), p.get(), ctx.get()));
    check(BN_mod_mul(v.get(), a.get(), b.get(), p.get(), ctx.get()));
    check(BN_nnmod(v.get(), v.get(), q.get(), ctx.get()));
    return BN_cmp(v.get(), r.get()) == 0;
}

}  // namespace sign
