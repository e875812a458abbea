// Signature checks per second over a 4 KiB message: the updater's DSA verifier against OpenSSL DSA, and the Ed25519
// part beside it.
#include <benchmark/benchmark.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/param_build.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files/public_key.hpp"
#include "files/signature.hpp"
#include "files/list_trust.hpp"
#include "files/signature_text.hpp"
#include "framework/digest.hpp"

namespace {

struct signed_message_t {
    std::vector<unsigned char> message;
    std::string signature;
};

// A 4 KiB message signed with the development key by the independent signer of the test data.
signed_message_t development_vector() {
    std::ifstream in(TAVIK_BENCH_DATA "/signature/vectors.txt");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind, message, signature;
        fields >> kind >> message >> signature;
        if (kind == "sig" && message.size() == 2 * 4096) return {upd::hex_to_bytes(message), signature};
    }
    std::fprintf(stderr, "no 4 KiB signature in the test vectors\n");
    std::abort();
}

void Verify_Updater_4KiB(benchmark::State& state) {
    const signed_message_t v = development_vector();
    for (auto _ : state) {
        const bool ok = upd::verify_signature(v.message.data(), v.message.size(), v.signature);
        if (!ok) {
            state.SkipWithError("signature refused (built with another key?)");
            break;
        }
        benchmark::DoNotOptimize(ok);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Verify_Updater_4KiB);

// The core alone, without hashing and decoding.
void Verify_Updater_CoreOnly(benchmark::State& state) {
    const signed_message_t v = development_vector();
    upd::sha0_t sha;
    sha.start();
    sha.feed(v.message.data(), v.message.size());
    sha.finish();
    const std::vector<unsigned char> sig = upd::hex_to_bytes(v.signature);
    for (auto _ : state) benchmark::DoNotOptimize(upd::dsa_verify(PublicKey, sig.data(), sha));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Verify_Updater_CoreOnly);

// The first line of a key file that is not a comment.
std::string key_line(const char* path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line) && (line.empty() || line[0] == '#')) {}
    return line;
}

upd::ed25519_key_t development_ed25519_key() {
    return upd::ed25519_key_t::from_hex(key_line(TAVIK_SOURCE_DIR "/keys/development-ed25519.pub"));
}

// The message's signature text with an Ed25519 part by the development key, as a strong build
// checks it.
std::string with_development_part(const signed_message_t& v) {
    const std::vector<unsigned char> seed =
        upd::hex_to_bytes(key_line(TAVIK_SOURCE_DIR "/keys/development-ed25519.key"));
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    unsigned char sig[64];
    std::size_t len = sizeof sig;
    if (!key || !md || EVP_DigestSignInit(md, nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(md, sig, &len, v.message.data(), v.message.size()) != 1) {
        std::fprintf(stderr, "Ed25519 signing failed\n");
        std::abort();
    }
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(key);
    return v.signature + development_ed25519_key().keyid() + to_hex(sig, len);
}

// The Ed25519 part alone.
void Verify_Ed25519_Part_4KiB(benchmark::State& state) {
    const signed_message_t v = development_vector();
    const upd::signature_text_t text(with_development_part(v));
    const upd::ed25519_key_t key = development_ed25519_key();
    for (auto _ : state)
        benchmark::DoNotOptimize(key.verifies(v.message.data(), v.message.size(), text.parts().at(0).signature));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Verify_Ed25519_Part_4KiB);

// A whole signed file's check in a build with an Ed25519 key: the DSA signature, then the part.
void Verify_DSA_and_Ed25519_4KiB(benchmark::State& state) {
    const signed_message_t v = development_vector();
    const std::string text = with_development_part(v);
    const upd::list_trust_t trust(upd::ed25519_keys_t{development_ed25519_key()});
    for (auto _ : state)
        benchmark::DoNotOptimize(
            trust.signature(upd::origin_t::server, v.message.data(), v.message.size(), text).reason);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Verify_DSA_and_Ed25519_4KiB);

struct openssl_key_t {
    EVP_PKEY* key = nullptr;
    std::vector<unsigned char> signature;
    std::string error;
};

// The development key pair (512-bit p, 160-bit q) as an OpenSSL key; newer OpenSSL refuses to
// generate DSA parameters that small, but imports them.
EVP_PKEY* development_key() {
    std::ifstream in(TAVIK_SOURCE_DIR "/keys/development.key");
    std::string line, p, q, g, y, x;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, eq, value;
        fields >> name >> eq >> value;
        if (name == "p") p = value;
        if (name == "q") q = value;
        if (name == "g") g = value;
        if (name == "y") y = value;
        if (name == "x") x = value;
    }
    BIGNUM *bp = nullptr, *bq = nullptr, *bg = nullptr, *by = nullptr, *bx = nullptr;
    BN_hex2bn(&bp, p.c_str());
    BN_hex2bn(&bq, q.c_str());
    BN_hex2bn(&bg, g.c_str());
    BN_hex2bn(&by, y.c_str());
    BN_hex2bn(&bx, x.c_str());
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, bp);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_Q, bq);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, bg);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, by);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, bx);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    if (!ctx || EVP_PKEY_fromdata_init(ctx) <= 0 || EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params) <= 0)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    for (BIGNUM* b : {bp, bq, bg, by, bx}) BN_free(b);
    return key;
}

// A fresh DSA key of `bits` with a 160-bit q.
EVP_PKEY* generated_key(int bits) {
    EVP_PKEY *params = nullptr, *key = nullptr;
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    if (pctx && EVP_PKEY_paramgen_init(pctx) > 0 && EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, bits) > 0 &&
        EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx, 160) > 0 && EVP_PKEY_CTX_set_dsa_paramgen_md(pctx, EVP_sha1()) > 0 &&
        EVP_PKEY_paramgen(pctx, &params) > 0) {
        EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new(params, nullptr);
        if (!kctx || EVP_PKEY_keygen_init(kctx) <= 0 || EVP_PKEY_keygen(kctx, &key) <= 0) key = nullptr;
        EVP_PKEY_CTX_free(kctx);
    }
    EVP_PKEY_CTX_free(pctx);
    EVP_PKEY_free(params);
    return key;
}

openssl_key_t openssl_key(int bits, const std::vector<unsigned char>& message) {
    openssl_key_t k;
    k.key = bits == 512 ? development_key() : generated_key(bits);
    if (!k.key) {
        k.error = "OpenSSL refused a DSA key of " + std::to_string(bits) + " bits";
        return k;
    }
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    std::size_t len = 0;
    if (EVP_DigestSignInit(md, nullptr, EVP_sha1(), nullptr, k.key) <= 0 ||
        EVP_DigestSign(md, nullptr, &len, message.data(), message.size()) <= 0) {
        k.error = "OpenSSL refused to sign with a DSA key of " + std::to_string(bits) + " bits";
    } else {
        k.signature.resize(len);
        if (EVP_DigestSign(md, k.signature.data(), &len, message.data(), message.size()) <= 0)
            k.error = "OpenSSL refused to sign with a DSA key of " + std::to_string(bits) + " bits";
        k.signature.resize(len);
    }
    EVP_MD_CTX_free(md);
    return k;
}

void Verify_OpenSSL_DSA_4KiB(benchmark::State& state) {
    const signed_message_t v = development_vector();
    const int bits = static_cast<int>(state.range(0));
    openssl_key_t k = openssl_key(bits, v.message);
    if (!k.error.empty()) {
        ERR_clear_error();
        EVP_PKEY_free(k.key);
        state.SkipWithError(k.error.c_str());
        for (auto _ : state) {}
        return;
    }
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    for (auto _ : state) {
        const int ok =
            EVP_DigestVerifyInit(md, nullptr, EVP_sha1(), nullptr, k.key) == 1 &&
            EVP_DigestVerify(md, k.signature.data(), k.signature.size(), v.message.data(), v.message.size()) == 1;
        if (!ok) {
            state.SkipWithError("OpenSSL refused its own signature");
            break;
        }
    }
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(k.key);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(bits) + "-bit p, 160-bit q, SHA-1");
}
BENCHMARK(Verify_OpenSSL_DSA_4KiB)->Arg(512)->Arg(1024);

}  // namespace
