// Native arithmetic for records of up to 38 digits: their digit strings fit an unsigned
// 128-bit integer, converted from and to packed decimal several digits at a time.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "fixed/fixed.h"

namespace kiv::fixed {

using u128 = unsigned __int128;

constexpr unsigned kNativeDigits = 38;  // 10^38 < 2^128

constexpr std::array<u128, 39> makePowersOfTen() {
    std::array<u128, 39> t{};
    u128 x = 1;
    for (auto &p : t) {
        p = x;
        x *= 10;
    }
    return t;
}
inline constexpr std::array<u128, 39> kPow10 = makePowersOfTen();
constexpr uint64_t kTen16 = 10000000000000000ull;
constexpr uint64_t kTen19 = 10000000000000000000ull;

inline uint64_t hi64(u128 x) {
    return static_cast<uint64_t>(x >> 64);
}

// (hi:lo) / d with hi < d: the quotient fits 64 bits.
inline uint64_t divide128by64(uint64_t hi, uint64_t lo, uint64_t d, uint64_t *rem) {
#if defined(__x86_64__)
    uint64_t q, r;
    __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(lo), "d"(hi), "rm"(d) : "cc");
    *rem = r;
    return q;
#else
    u128 n = (static_cast<u128>(hi) << 64) | lo;
    *rem = static_cast<uint64_t>(n % d);
    return static_cast<uint64_t>(n / d);
#endif
}

inline u128 divmod64(u128 n, uint64_t d, uint64_t *rem) {
    uint64_t hi = hi64(n), lo = static_cast<uint64_t>(n);
    if (hi == 0) {
        *rem = lo % d;
        return lo / d;
    }
    uint64_t qhi = hi / d;
    uint64_t qlo = divide128by64(hi % d, lo, d, rem);
    return (static_cast<u128>(qhi) << 64) | qlo;
}

// n / 10^k and n % 10^k for k <= 38.
inline u128 divPow10(u128 n, unsigned k, u128 *rem) {
    uint64_t r1;
    if (k <= 19) {
        u128 q = divmod64(n, static_cast<uint64_t>(kPow10[k]), &r1);
        *rem = r1;
        return q;
    }
    uint64_t r2;
    u128 q1 = divmod64(n, kTen19, &r1);
    u128 q = divmod64(q1, static_cast<uint64_t>(kPow10[k - 19]), &r2);
    *rem = static_cast<u128>(r2) * kTen19 + r1;
    return q;
}

// n big-endian bytes (n <= 8) as an integer.
inline uint64_t loadBigEndian(const uint8_t *p, unsigned n) {
    if (n == 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        return __builtin_bswap64(w);
    }
    uint64_t w = 0;
    for (unsigned i = 0; i < n; ++i) w = (w << 8) | p[i];
    return w;
}

// Stores the low n bytes of w big-endian (n <= 8).
inline void storeBigEndian(uint8_t *p, uint64_t w, unsigned n) {
    if (n == 8) {
        w = __builtin_bswap64(w);
        std::memcpy(p, &w, 8);
        return;
    }
    for (unsigned i = n; i-- > 0;) {
        p[i] = static_cast<uint8_t>(w);
        w >>= 8;
    }
}

// Sixteen packed decimal digits (most significant nibble first) to binary, pairwise in lanes.
inline uint64_t bcdToBinary(uint64_t x) {
    x = ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) * 10 + (x & 0x0F0F0F0F0F0F0F0Full);
    x = ((x >> 8) & 0x00FF00FF00FF00FFull) * 100 + (x & 0x00FF00FF00FF00FFull);
    x = ((x >> 16) & 0x0000FFFF0000FFFFull) * 10000 + (x & 0x0000FFFF0000FFFFull);
    return (x >> 32) * 100000000 + (x & 0xFFFFFFFFull);
}

// x < 10^8 to eight packed decimal digits: split in two halves below 10^4, then each lane by
// 100 and by 10 with multiplications that stay inside their lanes.
inline uint32_t binaryToBcd8(uint32_t x) {
    uint64_t v = (static_cast<uint64_t>(x / 10000) << 32) | (x % 10000);
    uint64_t q = ((v * 5243) >> 19) & 0x0000007F0000007Full;  // lane / 100
    v = (q << 16) | (v - q * 100);                            // four lanes below 100
    uint64_t t = ((v * 103) >> 10) & 0x000F000F000F000Full;   // lane / 10
    v = (t << 4) | (v - t * 10);                              // a packed byte per lane
    v = (v | (v >> 8)) & 0x0000FFFF0000FFFFull;
    return static_cast<uint32_t>(v | (v >> 16));
}

inline uint64_t binaryToBcd16(uint64_t x) {
    return (static_cast<uint64_t>(binaryToBcd8(static_cast<uint32_t>(x / 100000000))) << 32) |
           binaryToBcd8(static_cast<uint32_t>(x % 100000000));
}

// The digit string of a record of at most 38 digits. The packed bytes read as one big-endian
// integer are the digits followed by the state nibble; they are taken in 16-digit words.
inline u128 loadDigits(const kivFixed *v) {
    const uint8_t *p = packedOf(v);
    const unsigned n = v->digits / 2u + 1u;
    if (n <= 8) return bcdToBinary(loadBigEndian(p, n) >> 4);
    uint64_t w0 = loadBigEndian(p + n - 8, 8);
    if (n <= 16) {
        uint64_t w1 = loadBigEndian(p, n - 8);
        return static_cast<u128>(bcdToBinary(w1 >> 4)) * kTen16 +
               bcdToBinary((w0 >> 4) | (w1 << 60));
    }
    uint64_t w1 = loadBigEndian(p + n - 16, 8);
    uint64_t w2 = loadBigEndian(p, n - 16);
    u128 high =
        static_cast<u128>(bcdToBinary(w2 >> 4)) * kTen16 + bcdToBinary((w1 >> 4) | (w2 << 60));
    return high * kTen16 + bcdToBinary((w0 >> 4) | (w1 << 60));
}

// Writes a finite value with digit string m < 10^digits (digits <= 38) and its sign.
inline void storeDigits(kivFixed *r, u128 m, bool negative) {
    uint8_t *p = packedOf(r);
    const unsigned n = r->digits / 2u + 1u;
    const uint64_t state = negative ? kNegative : kPositive;
    uint64_t c0, c1 = 0, c2 = 0;
    if (hi64(m) == 0) {
        uint64_t x = static_cast<uint64_t>(m);
        c0 = x % kTen16;
        c1 = x / kTen16;
    } else {
        uint64_t rem;
        u128 q = divmod64(m, kTen16, &rem);
        c0 = rem;
        c2 = static_cast<uint64_t>(divmod64(q, kTen16, &c1));
    }
    uint64_t b0 = binaryToBcd16(c0);
    uint64_t w0 = (b0 << 4) | state;
    if (n <= 8) {
        storeBigEndian(p, w0, n);
        return;
    }
    uint64_t b1 = binaryToBcd16(c1);
    uint64_t w1 = (b1 << 4) | (b0 >> 60);
    storeBigEndian(p + n - 8, w0, 8);
    if (n <= 16) {
        storeBigEndian(p, w1, n - 8);
        return;
    }
    storeBigEndian(p + n - 16, w1, 8);
    storeBigEndian(p, (binaryToBcd16(c2) << 4) | (b1 >> 60), n - 16);
}

// Fits the exact value m x 10^-scale to r (r->digits <= 38): truncated to r's scale, an
// infinity of the sign when its integer part does not fit.
inline void fitNative(kivFixed *r, u128 m, int64_t scale, bool negative) {
    const int64_t shift = int64_t{r->scale} - scale;
    const unsigned digits = r->digits;
    if (shift >= 0) {
        if (m != 0) {
            if (shift > digits || m >= kPow10[digits - shift]) return setInfinity(r, negative);
            m *= kPow10[shift];
        }
    } else {
        u128 rem;
        m = shift < -int64_t{kNativeDigits} ? 0 : divPow10(m, static_cast<unsigned>(-shift), &rem);
        if (m >= kPow10[digits]) return setInfinity(r, negative);
    }
    storeDigits(r, m, negative);
}

inline bool fitsNative(const kivFixed *v) {
    return v->digits <= kNativeDigits;
}

}  // namespace kiv::fixed
