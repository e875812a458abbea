// Signature check: Montgomery arithmetic, fixed-base split-exponent windows.
#include "files/signature.hpp"

#include <cstring>

#include "files/public_key.hpp"

namespace upd {

namespace {

// ---- Montgomery arithmetic on machine words ----
// Wider limbs than 16 bits, because the 512-bit products modulo p are nearly all of the work:
// on 64-bit words (where the compiler has 128-bit products) they take 8 x 8 multiplications
// instead of 32 x 32. R = 2^512 for p and 2^160 for q whatever the word width, and the
// little-endian layouts coincide, so the stored Montgomery forms hold as they are; and since
// k * m is the one multiple of m below R that makes a * b + k * m divisible by R, every result
// is exactly the one of 16-bit limbs.

template <typename W>
struct double_word;
template <>
struct double_word<std::uint32_t> {
    using type = std::uint64_t;
};
#if defined(__SIZEOF_INT128__)
template <>
struct double_word<std::uint64_t> {
    __extension__ using type = unsigned __int128;
};
using native_word_t = std::uint64_t;
#else
using native_word_t = std::uint32_t;  // no 128-bit products (such as i386)
#endif

template <typename W>
constexpr int word_bits() {
    return 8 * static_cast<int>(sizeof(W));
}

// The words of the `bytes` bytes at `le` (little-endian); the words above them are zero.
template <typename W, int L>
void load_words(W (&out)[L], const unsigned char* le, int bytes) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memset(out, 0, sizeof out);
    std::memcpy(out, le, static_cast<std::size_t>(bytes));
#else
    for (int i = 0; i < L; ++i) out[i] = 0;
    for (int i = 0; i < bytes; ++i) out[i / sizeof(W)] |= W(le[i]) << (8 * (i % sizeof(W)));
#endif
}

// -m^-1 mod 2^W from the stored -m^-1 mod 2^16: each Newton step f (2 + m f) doubles the bits.
template <typename W>
W lift_factor(W m0, std::uint16_t factor) {
    W f = factor;
    for (int bits = 16; bits < word_bits<W>(); bits *= 2) f *= W(2) + m0 * f;
    return f;
}

// The low word of a * b + t + carry; carry becomes the high word. Never overflows: the sum is at
// most (2^W - 1)^2 + 2 (2^W - 1) = 2^(2 W) - 1. (Kept in single words, which compilers turn into
// tighter code than sums of double words.)
template <typename W>
inline W multiply_add(W a, W b, W t, W& carry) {
    using D = typename double_word<W>::type;
    const D product = D(a) * b;
    W low = W(product), high = W(product >> word_bits<W>());
    low += t;
    high += low < t;
    low += carry;
    high += low < carry;
    carry = high;
    return low;
}

// a * b * 2^(-W L) mod m on W-bit words, below 2^(W L) but not necessarily below m; `out` may
// alias a or b. Word by word with interleaved reduction: round i adds a * b[i] and k * m and
// drops the lowest word, the two products carried in separate chains.
template <typename W, int L>
void mont_mul_words(W (&out)[L], const W (&a)[L], const W (&b)[L], const W (&m)[L], W factor) {
    using D = typename double_word<W>::type;
    constexpr int BITS = word_bits<W>();
    W t[L + 1] = {};
    for (int i = 0; i < L; ++i) {
        const W bi = b[i];
        W carry_ab = 0, carry_km = 0;
        const W low = multiply_add(a[0], bi, t[0], carry_ab);
        const W k = low * factor;
        multiply_add(m[0], k, low, carry_km);  // the low word is zero
        for (int j = 1; j < L; ++j) {
            const W s = multiply_add(a[j], bi, t[j], carry_ab);
            t[j - 1] = multiply_add(m[j], k, s, carry_km);
        }
        const D top = D(t[L]) + carry_ab + carry_km;
        t[L - 1] = W(top);
        t[L] = W(top >> BITS);
    }
    while (t[L] != 0) {
        W borrow = 0;
        for (int j = 0; j < L; ++j) {
            const D d = D(t[j]) - m[j] - borrow;
            t[j] = W(d);
            borrow = W(d >> BITS) & 1u;
        }
        t[L] -= borrow;
    }
    for (int j = 0; j < L; ++j) out[j] = t[j];
}

// `steps` rounds of Montgomery reduction by m (L words) of the N-word number t (word N is room
// for the carry): each adds k * m so that the lowest word becomes zero, then drops that word.
template <typename W, int N, int L>
void mont_reduce_words(W (&t)[N + 1], const W (&m)[L], W factor, int steps) {
    using D = typename double_word<W>::type;
    constexpr int BITS = word_bits<W>();
    for (int step = 0; step < steps; ++step) {
        const W k = t[0] * factor;
        D s = D(m[0]) * k + t[0];
        W c = W(s >> BITS);
        for (int j = 1; j < L; ++j) {
            s = D(m[j]) * k + t[j] + c;
            t[j - 1] = W(s);
            c = W(s >> BITS);
        }
        for (int j = L; j <= N; ++j) {
            s = D(t[j]) + c;
            t[j - 1] = W(s);
            c = W(s >> BITS);
        }
        t[N] = c;
    }
}

// ---- Comparison, sums and the inverse on words ----

template <typename W, int L>
int compare(const W (&a)[L], const W (&b)[L]) {
    for (int i = L - 1; i >= 0; --i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

template <typename W, int L>
bool is_zero(const W (&a)[L]) {
    for (int i = 0; i < L; ++i)
        if (a[i] != 0) return false;
    return true;
}

// a -= b; returns the borrow.
template <typename W, int L>
W subtract(W (&a)[L], const W (&b)[L]) {
    using D = typename double_word<W>::type;
    W borrow = 0;
    for (int i = 0; i < L; ++i) {
        const D d = D(a[i]) - b[i] - borrow;
        a[i] = W(d);
        borrow = W(d >> word_bits<W>()) & 1u;
    }
    return borrow;
}

// a += b; returns the carry.
template <typename W, int L>
W add(W (&a)[L], const W (&b)[L]) {
    using D = typename double_word<W>::type;
    W carry = 0;
    for (int i = 0; i < L; ++i) {
        const D s = D(a[i]) + b[i] + carry;
        a[i] = W(s);
        carry = W(s >> word_bits<W>());
    }
    return carry;
}

// a = (a + carry * 2^(W L)) / 2.
template <typename W, int L>
void halve(W (&a)[L], W carry) {
    for (int i = 0; i < L; ++i) {
        const W high = i + 1 < L ? a[i + 1] : carry;
        a[i] = (a[i] >> 1) | W((high & 1u) << (word_bits<W>() - 1));
    }
}

// x / 2 modulo the odd m, for x below m.
template <typename W, int L>
void halve_mod(W (&x)[L], const W (&m)[L]) {
    if (x[0] & 1u) {
        const W carry = add(x, m);
        halve(x, carry);
    } else {
        halve(x, W(0));
    }
}

// x = x - y modulo m, for x and y below m.
template <typename W, int L>
void subtract_mod(W (&x)[L], const W (&y)[L], const W (&m)[L]) {
    if (subtract(x, y)) add(x, m);
}

// The inverse of s modulo the odd prime m, for 0 < s < m (binary extended Euclid; exact).
// False only if s and m have a common factor, which a checked key rules out.
template <typename W, int L>
bool inverse(W (&out)[L], const W (&s)[L], const W (&m)[L]) {
    W u[L], v[L], x1[L] = {1}, x2[L] = {};
    std::memcpy(u, s, sizeof u);
    std::memcpy(v, m, sizeof v);
    const W one[L] = {1};
    // Invariants: x1 * s = u and x2 * s = v modulo m; u and v stay positive (gcd is 1).
    while (compare(u, one) != 0 && compare(v, one) != 0) {
        if (is_zero(u) || is_zero(v)) return false;  // u = v happened: not coprime
        while (!(u[0] & 1u)) {
            halve(u, W(0));
            halve_mod(x1, m);
        }
        while (!(v[0] & 1u)) {
            halve(v, W(0));
            halve_mod(x2, m);
        }
        if (compare(u, v) >= 0) {
            subtract(u, v);
            subtract_mod(x1, x2, m);
        } else {
            subtract(v, u);
            subtract_mod(x2, x1, m);
        }
    }
    std::memcpy(out, compare(u, one) == 0 ? x1 : x2, sizeof out);
    return true;
}

// ---- Exponent windows ----

// An exponent's current window: the position of its lowest bit and its table index.
struct window_t {
    int position;  // -1 once the exponent is exhausted
    int index;     // (odd window value - 1) / 2
};

// The next window of at most `width` bits of e below bit `below`.
window_t next_window(std::uint64_t e, int below, int width) {
    int top = below - 1;
    while (top >= 0 && !((e >> top) & 1u)) --top;
    if (top < 0) return {-1, 0};
    int low = top - width + 1 < 0 ? 0 : top - width + 1;
    std::uint64_t value = (e >> low) & ((std::uint64_t(1) << (top - low + 1)) - 1);
    while (!(value & 1u)) {
        value >>= 1;
        ++low;
    }
    return {low, static_cast<int>((value - 1) / 2)};
}

// Bytes 5 i .. 5 i + 4 of a 20-byte little-endian number as a 40-bit value.
std::uint64_t piece(const unsigned char (&le)[20], int i) {
    std::uint64_t v = 0;
    for (int b = 4; b >= 0; --b) v = (v << 8) | le[5 * i + b];
    return v;
}

// Numbers modulo q are five 32-bit words, so that R = 2^160 as the stored constants expect.
constexpr int Q_WORDS = 5;
using q_number = std::uint32_t[Q_WORDS];

template <typename W, int L>
void store_le(unsigned char* out, const W (&a)[L], int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(a[i / sizeof(W)] >> (8 * (i % sizeof(W))));
}

// The check with the arithmetic modulo p on W-bit words (numbers modulo q are always on 32-bit
// words: 160 bits are no whole number of 64-bit words).
template <typename W>
int verify_on_words(const key_tables_t& tables, const unsigned char* public_key, const unsigned char* signature,
                    const sha0_t& finished_hash) {
    constexpr int P_WORDS = 512 / word_bits<W>();
    using p_number = W[P_WORDS];
    p_number p;
    q_number q, r, s, e, c320, c672;
    load_words(p, tables.modulus_p, 64);
    load_words(q, tables.order_q, 20);
    load_words(r, signature, 20);
    load_words(s, signature + 20, 20);
    if (is_zero(r) || compare(r, q) >= 0) return 1;
    if (is_zero(s) || compare(s, q) >= 0) return 2;
    load_words(c320, tables.q_2_320, 20);
    load_words(c672, tables.q_2_672, 20);
    const std::uint32_t qf = lift_factor<std::uint32_t>(q[0], tables.q_factor);
    const W pf = lift_factor<W>(p[0], tables.p_factor);

    // e: the chaining words with h0 least significant, used as it is (below 2^160).
    for (int i = 0; i < 5; ++i) e[i] = finished_hash.h[i];

    // u1 = e w mod q and u2 = r w mod q; the second product by 2^320 cancels both 2^-160.
    q_number w, u1, u2;
    if (!inverse(w, s, q)) return 4;
    mont_mul_words(u1, w, e, q, qf);
    mont_mul_words(u1, u1, c320, q, qf);
    mont_mul_words(u2, w, r, q, qf);
    mont_mul_words(u2, u2, c320, q, qf);
    unsigned char u1_le[20], u2_le[20];
    store_le(u1_le, u1, 20);
    store_le(u2_le, u2, 20);

    // The key table of this verification: Y(i) and Y(i)^3 for i = 0..3.
    p_number key_table[8];
    for (int i = 0; i < 4; ++i) {
        load_words(key_table[2 * i], public_key + 64 * i, 64);
        mont_mul_words(key_table[2 * i + 1], key_table[2 * i], key_table[2 * i], p, pf);
        mont_mul_words(key_table[2 * i + 1], key_table[2 * i + 1], key_table[2 * i], p, pf);
    }

    // Eight 40-bit exponents in the order G(0), Y(0), ..., G(3), Y(3).
    std::uint64_t exponent[8];
    int width[8];
    window_t window[8];
    for (int i = 0; i < 4; ++i) {
        exponent[2 * i] = piece(u1_le, i);
        width[2 * i] = 5;
        exponent[2 * i + 1] = piece(u2_le, i);
        width[2 * i + 1] = 2;
    }
    for (int k = 0; k < 8; ++k) window[k] = next_window(exponent[k], 40, width[k]);
    p_number entry;
    auto load_entry = [&](int k) {
        if (k % 2 == 0)
            load_words(entry, tables.generator_table + 64 * (16 * (k / 2) + window[k].index), 64);
        else
            std::memcpy(entry, key_table[2 * (k / 2) + window[k].index], sizeof entry);
    };

    int first = 0;
    for (int k = 1; k < 8; ++k)
        if (window[k].position > window[first].position) first = k;
    const int start = window[first].position;

    W x[P_WORDS + 1] = {};
    if (start < 0) {
        x[0] = 1;  // both exponents zero: the product is 1 (not reachable with 0 < r < q)
    } else {
        p_number acc;
        load_entry(first);
        std::memcpy(acc, entry, sizeof acc);
        window[first] = next_window(exponent[first], start, width[first]);
        for (int position = start; position >= 0; --position) {
            if (position != start) mont_mul_words(acc, acc, acc, p, pf);
            for (int k = 0; k < 8; ++k) {
                if (window[k].position != position) continue;
                load_entry(k);
                mont_mul_words(acc, acc, entry, p, pf);
                window[k] = next_window(exponent[k], position, width[k]);
            }
        }
        // Out of Montgomery form: x = acc * 2^-512 mod p, fully reduced.
        for (int j = 0; j < P_WORDS; ++j) x[j] = acc[j];
        mont_reduce_words<W, P_WORDS>(x, p, pf, P_WORDS);
    }

    // v = x mod q: x * 2^-512 by reduction rounds, times 2^672 * 2^-160, one final subtraction.
    // The reduction leaves at most q, so the low 160 bits hold all of it.
    W q_words[(160 + word_bits<W>() - 1) / word_bits<W>()];
    load_words(q_words, tables.order_q, 20);
    mont_reduce_words<W, P_WORDS>(x, q_words, lift_factor<W>(q_words[0], tables.q_factor), P_WORDS);
    unsigned char x_le[20];
    store_le(x_le, x, 20);
    q_number v;
    load_words(v, x_le, 20);
    mont_mul_words(v, v, c672, q, qf);
    if (compare(v, q) >= 0) subtract(v, q);
    return compare(v, r) == 0 ? 0 : 3;
}

}  // namespace

void hex_to_bytes(const char* hex, const char* hex_end, unsigned char* out) {
    auto nibble = [](char c) -> unsigned {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
        return 0;  // not a hex digit: read as 0, never an error
    };
    for (; hex_end - hex >= 2; hex += 2) *out++ = static_cast<unsigned char>((nibble(hex[0]) << 4) | nibble(hex[1]));
}

std::vector<unsigned char> hex_to_bytes(const std::string& text) {
    std::vector<unsigned char> out;
    if (text.empty() || text.size() % 2 != 0) return out;
    out.resize(text.size() / 2);
    hex_to_bytes(text.data(), text.data() + text.size(), out.data());
    return out;
}

const key_tables_t& built_in_key_tables() {
    static const key_tables_t tables = {key::modulus_p,       key::order_q,  key::q_2_320, key::q_2_672,
                                        key::generator_table, key::p_factor, key::q_factor};
    return tables;
}

int dsa_verify(const unsigned char* public_key, const unsigned char* signature, const sha0_t& finished_hash) {
    return dsa_verify(built_in_key_tables(), public_key, signature, finished_hash);
}

int dsa_verify(const key_tables_t& tables, const unsigned char* public_key, const unsigned char* signature,
               const sha0_t& finished_hash) {
    return verify_on_words<native_word_t>(tables, public_key, signature, finished_hash);
}

// test hook: begin (the other word width, and the product alone)
int dsa_verify_on_words(int bits, const key_tables_t& tables, const unsigned char* public_key,
                        const unsigned char* signature, const sha0_t& finished_hash) {
    if (bits == 32) return verify_on_words<std::uint32_t>(tables, public_key, signature, finished_hash);
#if defined(__SIZEOF_INT128__)
    if (bits == 64) return verify_on_words<std::uint64_t>(tables, public_key, signature, finished_hash);
#endif
    return -1;
}

namespace {

template <typename W>
void montgomery_product_on(unsigned char* out, const unsigned char* a, const unsigned char* b, const unsigned char* m,
                           std::uint16_t factor) {
    constexpr int L = 512 / word_bits<W>();
    W wa[L], wb[L], wm[L];
    load_words(wa, a, 64);
    load_words(wb, b, 64);
    load_words(wm, m, 64);
    mont_mul_words(wa, wa, wb, wm, lift_factor<W>(wm[0], factor));
    for (int i = 0; i < 64; ++i) out[i] = static_cast<unsigned char>(wa[i / sizeof(W)] >> (8 * (i % sizeof(W))));
}

}  // namespace

bool montgomery_product_512(int bits, unsigned char* out, const unsigned char* a, const unsigned char* b,
                            const unsigned char* m, std::uint16_t factor) {
    if (bits == 32) {
        montgomery_product_on<std::uint32_t>(out, a, b, m, factor);
        return true;
    }
#if defined(__SIZEOF_INT128__)
    if (bits == 64) {
        montgomery_product_on<std::uint64_t>(out, a, b, m, factor);
        return true;
    }
#endif
    return false;
}
// test hook: end

bool verify_signature(const void* data, std::size_t size, const std::string& signature_text) {
    if (size == 0) return false;
    const std::vector<unsigned char> signature = hex_to_bytes(signature_text);
    if (signature.size() < 40) return false;
    sha0_t hash;
    hash.start();
    hash.feed(data, size);
    hash.finish();
    return dsa_verify(PublicKey, signature.data(), hash) == 0;
}

}  // namespace upd
