// SPDX-License-Identifier: Apache-2.0
// Word-sized arithmetic for short records: packed decimal in one 64- or 128-bit word (up to 15
// or 31 digits) and digit strings as 128-bit binary integers (up to 38 digits), converted from
// and to packed decimal several digits at a time; divisions by powers of ten are
// multiplications.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// n / d and n % d for a 64-bit divisor: one hardware division when the quotient fits 64 bits.
inline u128 divmod64(u128 n, uint64_t d, uint64_t *rem) {
    uint64_t hi = hi64(n), lo = static_cast<uint64_t>(n);
    if (hi == 0) {
        *rem = lo % d;
        return lo / d;
    }
    if (hi < d) return divide128by64(hi, lo, d, rem);
    uint64_t qhi = hi / d;
    uint64_t qlo = divide128by64(hi % d, lo, d, rem);
    return (static_cast<u128>(qhi) << 64) | qlo;
}

// x / 10^k for k <= 19 by multiplication: m = floor(2^(64+s) / 10^k) with 2^s <= 10^k fits 64
// bits and gives an estimate short by at most one, which the remainder corrects. (Constant
// divisors in a switch would do too, but compilers emit hardware divisions for branches they
// deem cold.)
struct Pow10Reciprocal {
    uint64_t m;
    unsigned shift;
};
constexpr std::array<Pow10Reciprocal, 20> makePow10Reciprocals() {
    std::array<Pow10Reciprocal, 20> t{};
    for (unsigned k = 1; k < t.size(); ++k) {
        const uint64_t d = static_cast<uint64_t>(kPow10[k]);
        unsigned s = 63;
        while (!(d >> s)) --s;
        t[k] = {static_cast<uint64_t>((u128{1} << (64 + s)) / d), s};
    }
    return t;
}
inline constexpr std::array<Pow10Reciprocal, 20> kPow10Reciprocals = makePow10Reciprocals();

inline uint64_t divPow10(uint64_t x, unsigned k) {
    if (k == 0) return x;
    const uint64_t d = static_cast<uint64_t>(kPow10[k]);
    uint64_t q = hi64(static_cast<u128>(x) * kPow10Reciprocals[k].m) >> kPow10Reciprocals[k].shift;
    if (x - q * d >= d) ++q;
    return q;
}

// floor(2^128 / 10^k): multiplying by it and keeping the high half divides by 10^k with an
// error of at most one.
constexpr std::array<u128, 39> makeReciprocals() {
    std::array<u128, 39> t{};
    for (unsigned k = 1; k < t.size(); ++k) t[k] = ~u128{0} / kPow10[k];
    return t;
}
inline constexpr std::array<u128, 39> kReciprocal10 = makeReciprocals();

// The high 128 bits of x * y.
inline u128 multiplyHigh(u128 x, u128 y) {
    const uint64_t x0 = static_cast<uint64_t>(x), x1 = hi64(x);
    const uint64_t y0 = static_cast<uint64_t>(y), y1 = hi64(y);
    const u128 p01 = static_cast<u128>(x0) * y1, p10 = static_cast<u128>(x1) * y0;
    const u128 mid = static_cast<u128>(hi64(static_cast<u128>(x0) * y0)) +
                     static_cast<uint64_t>(p01) + static_cast<uint64_t>(p10);
    return static_cast<u128>(x1) * y1 + hi64(p01) + hi64(p10) + hi64(mid);
}

// The high 128 bits of x * y for y < 2^64.
inline u128 multiplyHigh64(u128 x, uint64_t y) {
    return (static_cast<u128>(hi64(x)) * y +
            hi64(static_cast<u128>(static_cast<uint64_t>(x)) * y)) >>
           64;
}

// n / 10^k for 20 <= k <= 38: the quotient and the reciprocal fit 64 bits.
inline uint64_t divPow10Large(u128 n, unsigned k) {
    uint64_t q = static_cast<uint64_t>(multiplyHigh64(n, static_cast<uint64_t>(kReciprocal10[k])));
    if (n - static_cast<u128>(q) * kPow10[k] >= kPow10[k]) ++q;
    return q;
}

// n / 10^k and n % 10^k for k <= 38, by multiplication.
inline u128 divPow10(u128 n, unsigned k, u128 *rem) {
    if (hi64(n) == 0 && k <= 19) {
        const uint64_t x = static_cast<uint64_t>(n), q = divPow10(x, k);
        *rem = x - q * static_cast<uint64_t>(kPow10[k]);
        return q;
    }
    if (k == 0) {
        *rem = 0;
        return n;
    }
    // From 10^20 on the reciprocal fits 64 bits; up to 10^19 the power does.
    u128 q, r;
    if (k >= 20) {
        q = divPow10Large(n, k);
        r = n - q * kPow10[k];
        *rem = r;
        return q;
    } else {
        q = multiplyHigh(n, kReciprocal10[k]);
        r = n - q * static_cast<uint64_t>(kPow10[k]);
    }
    if (r >= kPow10[k]) {
        ++q;
        r -= kPow10[k];
    }
    *rem = r;
    return q;
}

// Sixteen packed decimal digits (most significant nibble first) to binary, pairwise in lanes.
inline uint64_t bcdToBinary(uint64_t x) {
    x = ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) * 10 + (x & 0x0F0F0F0F0F0F0F0Full);
    x = ((x >> 8) & 0x00FF00FF00FF00FFull) * 100 + (x & 0x00FF00FF00FF00FFull);
    x = ((x >> 16) & 0x0000FFFF0000FFFFull) * 10000 + (x & 0x0000FFFF0000FFFFull);
    return (x >> 32) * 100000000 + (x & 0xFFFFFFFFull);
}

#if defined(__SSE2__)
// A constant the optimizer cannot see, so that a vector multiplication by it stays one
// instruction instead of becoming a chain of shifts and additions.
inline __m128i opaque(__m128i x) {
    __asm__("" : "+x"(x));
    return x;
}
#endif

// Two words of sixteen packed decimal digits to binary at once, one in each 64-bit lane: bytes
// 16h + l become 10h + l, 16-bit lanes 256H + L become 100H + L, a multiply-add of 16-bit
// halves makes 10^4 H + L, and 32-bit halves 10^8 H + L.
inline void bcdToBinary2(uint64_t x, uint64_t y, uint64_t *bx, uint64_t *by) {
#if defined(__SSE2__)
    __m128i v = _mm_set_epi64x(static_cast<int64_t>(y), static_cast<int64_t>(x));
    const __m128i high = _mm_and_si128(_mm_srli_epi64(v, 4), _mm_set1_epi8(0x0F));
    const __m128i twice = _mm_add_epi8(high, high);
    v = _mm_sub_epi8(v, _mm_add_epi8(twice, _mm_add_epi8(twice, twice)));
    v = _mm_sub_epi16(v, _mm_mullo_epi16(_mm_srli_epi16(v, 8), opaque(_mm_set1_epi16(156))));
    v = _mm_madd_epi16(v, _mm_set1_epi32(10000 << 16 | 1));
    v = _mm_add_epi64(_mm_and_si128(v, _mm_set1_epi64x(0xFFFFFFFF)),
                      _mm_mul_epu32(_mm_srli_epi64(v, 32), _mm_set1_epi64x(100000000)));
    *bx = static_cast<uint64_t>(_mm_cvtsi128_si64(v));
    *by = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
#else
    *bx = bcdToBinary(x);
    *by = bcdToBinary(y);
#endif
}

// Up to eight packed digits in each of x and y to binary, both in one word of 32-bit lanes.
inline void bcdToBinary8x2(uint64_t x, uint64_t y, uint64_t *bx, uint64_t *by) {
    uint64_t w = (x << 32) | y;
    w -= 6 * ((w >> 4) & 0x0F0F0F0F0F0F0F0Full);       // bytes: 16h + l -> 10h + l
    w -= 156 * ((w >> 8) & 0x00FF00FF00FF00FFull);     // 256H + L -> 100H + L
    w -= 55536 * ((w >> 16) & 0x0000FFFF0000FFFFull);  // 65536H + L -> 10^4 H + L
    *bx = w >> 32;
    *by = w & 0xFFFFFFFF;
}

// x < 10^4 to four packed digits: hundreds and the rest in two lanes, then tens and units.
inline uint64_t smallBinaryToBcd(uint64_t x) {
    const uint64_t hundreds = (x * 5243) >> 19;  // x / 100 for x < 43699
    uint64_t v = (hundreds << 16) | (x - hundreds * 100);
    const uint64_t tens = ((v * 103) >> 10) & 0x000F000Full;  // lane / 10 for lanes below 179
    v = (tens << 4) | (v - tens * 10);
    return (v | (v >> 8)) & 0xFFFF;
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
#if defined(__SSE2__)
    // The same splits by 10^4, 100 and 10, on all lanes at once: 32-bit lanes of the two
    // halves, then 16-bit lanes of two-digit pairs, packed to bytes least significant first.
    const __m128i halves =
        _mm_set_epi64x(static_cast<int64_t>(x / 100000000), static_cast<int64_t>(x % 100000000));
    const __m128i q4 = _mm_srli_epi64(_mm_mul_epu32(halves, _mm_set1_epi64x(0xd1b71759)), 45);
    const __m128i r4 = _mm_sub_epi64(halves, _mm_mul_epu32(q4, _mm_set1_epi64x(10000)));
    const __m128i quads = _mm_or_si128(r4, _mm_slli_epi64(q4, 32));
    const __m128i q2 = _mm_srli_epi16(_mm_mulhi_epu16(quads, _mm_set1_epi16(5243)), 3);
    const __m128i r2 = _mm_sub_epi16(quads, _mm_mullo_epi16(q2, opaque(_mm_set1_epi16(100))));
    const __m128i pairs = _mm_or_si128(r2, _mm_slli_epi32(q2, 16));
    const __m128i tens = _mm_mulhi_epu16(pairs, _mm_set1_epi16(6554));
    const __m128i units = _mm_sub_epi16(pairs, _mm_mullo_epi16(tens, opaque(_mm_set1_epi16(10))));
    const __m128i bytes = _mm_or_si128(_mm_slli_epi16(tens, 4), units);
    return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(bytes, bytes)));
#else
    return (static_cast<uint64_t>(binaryToBcd8(static_cast<uint32_t>(x / 100000000))) << 32) |
           binaryToBcd8(static_cast<uint32_t>(x % 100000000));
#endif
}

// Two numbers below 10^16 to packed digits at once: their four halves below 10^8 in 32-bit
// lanes, split by 10^4 (even and odd lanes apart), by 100 and by 10 as in binaryToBcd16.
inline void binaryToBcd16x2(uint64_t x, uint64_t y, uint64_t *px, uint64_t *py) {
#if defined(__SSE2__)
    const uint64_t x1 = x / 100000000, y1 = y / 100000000;
    const __m128i v = _mm_set_epi64x(static_cast<int64_t>((y1 << 32) | (y - y1 * 100000000)),
                                     static_cast<int64_t>((x1 << 32) | (x - x1 * 100000000)));
    const __m128i magic = _mm_set1_epi64x(0xd1b71759);
    const __m128i even = _mm_srli_epi64(_mm_mul_epu32(v, magic), 45);
    const __m128i odd = _mm_srli_epi64(_mm_mul_epu32(_mm_srli_epi64(v, 32), magic), 45);
    const __m128i q4 = _mm_or_si128(even, _mm_slli_epi64(odd, 32));
    const __m128i r4 = _mm_sub_epi32(v, _mm_madd_epi16(q4, _mm_set1_epi32(10000)));
    const __m128i quads = _mm_or_si128(r4, _mm_slli_epi32(q4, 16));
    const __m128i q2 = _mm_srli_epi16(_mm_mulhi_epu16(quads, _mm_set1_epi16(5243)), 3);
    const __m128i r2 = _mm_sub_epi16(quads, _mm_mullo_epi16(q2, opaque(_mm_set1_epi16(100))));
    const __m128i ten = opaque(_mm_set1_epi16(10)), tenth = _mm_set1_epi16(6554);
    auto bytes = [&](__m128i pairs) {
        const __m128i tens = _mm_mulhi_epu16(pairs, tenth);
        return _mm_or_si128(_mm_slli_epi16(tens, 4),
                            _mm_sub_epi16(pairs, _mm_mullo_epi16(tens, ten)));
    };
    const __m128i packed =
        _mm_packus_epi16(bytes(_mm_unpacklo_epi16(r2, q2)), bytes(_mm_unpackhi_epi16(r2, q2)));
    *px = static_cast<uint64_t>(_mm_cvtsi128_si64(packed));
    *py = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(packed, packed)));
#else
    *px = binaryToBcd16(x);
    *py = binaryToBcd16(y);
#endif
}

inline uint64_t loadBE64(const uint8_t *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return __builtin_bswap64(w);
}
inline uint32_t loadBE32(const uint8_t *p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return __builtin_bswap32(w);
}
inline void storeBE64(uint8_t *p, uint64_t w) {
    w = __builtin_bswap64(w);
    std::memcpy(p, &w, 8);
}
inline void storeBE32(uint8_t *p, uint32_t w) {
    w = __builtin_bswap32(w);
    std::memcpy(p, &w, 4);
}
inline constexpr uint64_t kLowBytes[9] = {
    0,           0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF, 0xFFFFFFFFFF, 0xFFFFFFFFFFFF, 0xFFFFFFFFFFFFFF,
    ~uint64_t{0}};

// Up to 8 bytes ending at `end` as a big-endian integer. Whole words are read, reaching back
// into the record's 4 header bytes when the packed area is shorter, never past `end`.
inline uint64_t loadTail(const uint8_t *end, unsigned k) {
    if (k >= 4) return loadBE64(end - 8) & kLowBytes[k];
    return loadBE32(end - 4) & kLowBytes[k];
}
inline void storeBE16(uint8_t *p, uint16_t w) {
    w = __builtin_bswap16(w);
    std::memcpy(p, &w, 2);
}

// Stores the low k (<= 8) bytes of w big-endian to end there, writing no byte before them: two
// overlapping stores of the first and the last bytes. (Rewriting the record's header instead
// would make every later read of the result's type wait for this store.)
inline void storeTail(uint8_t *end, unsigned k, uint64_t w) {
    uint8_t *p = end - k;
    if (k == 8) {
        storeBE64(p, w);
    } else if (k >= 4) {
        storeBE32(p, static_cast<uint32_t>(w >> (8 * (k - 4))));
        storeBE32(end - 4, static_cast<uint32_t>(w));
    } else if (k >= 2) {
        storeBE16(p, static_cast<uint16_t>(w >> (8 * (k - 2))));
        storeBE16(end - 2, static_cast<uint16_t>(w));
    } else if (k == 1) {
        *p = static_cast<uint8_t>(w);
    }
}

// Records of up to 31 digits have at most 16 packed bytes: digits and state fit one 128-bit
// word (up to 15 digits one 64-bit word), in which packed decimal can be added, subtracted and
// compared directly. W is uint64_t or u128.
constexpr unsigned kPackedDigits = 31;

template <class W>
constexpr unsigned kWordDigits = sizeof(W) * 2 - 1;

inline bool fitsPacked(const kivFixed *v) {
    return v->digits <= kPackedDigits;
}
template <class W>
inline bool fitsWord(const kivFixed *v) {
    return v->digits <= kWordDigits<W>;
}

template <class W>
constexpr W repeatNibble(unsigned nibble) {
    W w = 0;
    for (unsigned i = 0; i < kWordDigits<W>; ++i) w = (w << 4) | nibble;
    return w;
}

// The packed area (digits and state nibble) of a record of `digits` digits as one big-endian
// integer.
template <class W = u128>
inline W loadPacked(const kivFixed *v, unsigned digits) {
    const unsigned n = digits / 2u + 1u;
    const uint8_t *end = packedOf(v) + n;
    if (sizeof(W) == 8 || n < 8) return loadTail(end, n);
    return static_cast<W>((static_cast<u128>(loadTail(end - 8, n - 8)) << 64) | loadBE64(end - 8));
}
template <class W = u128>
inline W loadPacked(const kivFixed *v) {
    return loadPacked<W>(v, v->digits);
}

// Writes the digits (packed decimal, below 10^digits) and the sign state.
template <class W>
inline void storePacked(kivFixed *r, W digits, bool negative) {
    const W w = (digits << 4) | static_cast<unsigned>(negative ? kNegative : kPositive);
    uint8_t *end = packedOf(r) + r->digits / 2 + 1;
    const unsigned n = r->digits / 2u + 1u;
    if (sizeof(W) == 8 || n < 8) return storeTail(end, n, static_cast<uint64_t>(w));
    storeBE64(end - 8, static_cast<uint64_t>(w));
    storeTail(end - 8, n - 8, static_cast<uint64_t>(static_cast<u128>(w) >> 64));
}

// A finite record of at most kWordDigits<W> digits: its packed digits and sign.
template <class W>
struct PackedValue {
    W digits;
    bool negative;
};
template <class W>
inline bool loadFinitePacked(const kivFixed *v, PackedValue<W> *out) {
    if (!fitsWord<W>(v)) return false;
    const W w = loadPacked<W>(v);
    const unsigned state = static_cast<unsigned>(w) & 15u;
    if (state != kPositive && state != kNegative) return false;
    *out = {w >> 4, state == kNegative};
    return true;
}

// Nibble-wise decimal addition of packed digits: add 6 to every digit so that decimal carries
// become binary ones, then take 6 back from the digits that did not carry. The top nibble
// takes the last carry.
template <class W>
inline W packedAdd(W x, W y) {
    constexpr W sixes = repeatNibble<W>(6), carries = repeatNibble<W>(1) << 4;
    const W t1 = x + sixes, t2 = t1 + y;
    const W noCarry = ~(t2 ^ t1 ^ y) & carries;
    return t2 - ((noCarry >> 2) | (noCarry >> 3));
}

// x - y for x >= y: digits that borrowed wrapped at 16 instead of 10; take 6 from them.
template <class W>
inline W packedSub(W x, W y) {
    constexpr W borrows = repeatNibble<W>(1) << 4;
    const W t = x - y;
    const W borrowed = (x ^ y ^ t) & borrows;
    return t - ((borrowed >> 2) | (borrowed >> 3));
}

// The same on packed areas in place: digits in nibbles 1 up, the state nibble 0 cleared. The top
// nibble's carry leaves the word, so it is returned rather than corrected for.
template <class W>
constexpr W kDigitSixes = repeatNibble<W>(6) << 4;
template <class W>
constexpr W kNibbleCarries = repeatNibble<W>(1) << 8;  // the carries into nibbles 2 up

// 6 in every nibble whose carry (or borrow) bit is set in c: (c >> 2) | (c >> 3), one shift.
inline uint64_t sixesFor(uint64_t c) {
    return (c >> 3) * 3;
}
inline u128 sixesFor(u128 c) {
    const u128 s = c >> 3;  // sparse bits: the halves multiply by 3 without carries between them
    return (static_cast<u128>(hi64(s) * 3) << 64) | (static_cast<uint64_t>(s) * 3);
}

template <class W>
inline W decimalAdd(W x, W y, bool *carry) {
    constexpr W kTopSix = W{6} << (8 * sizeof(W) - 4);
    const W t1 = x + kDigitSixes<W>, t2 = t1 + y;
    *carry = t2 < t1;
    const W noCarry = ~(t2 ^ t1 ^ y) & kNibbleCarries<W>;
    return t2 - (sixesFor(noCarry) | (*carry ? 0 : kTopSix));
}

// x - y for x >= y.
template <class W>
inline W decimalSub(W x, W y) {
    const W t = x - y;
    return t - sixesFor((x ^ y ^ t) & kNibbleCarries<W>);
}

// Packed digits (16 per word) to binary.
inline u128 packedToBinary(u128 x) {
    const uint64_t hi = hi64(x);
    const uint64_t lo = bcdToBinary(static_cast<uint64_t>(x));
    return hi == 0 ? lo : static_cast<u128>(bcdToBinary(hi)) * kTen16 + lo;
}

// Binary below 10^16 to packed digits.
inline uint64_t binaryToPacked64(uint64_t m) {
#if defined(__SSE2__)
    return binaryToBcd16(m);
#else
    return m < 100000000 ? binaryToBcd8(static_cast<uint32_t>(m)) : binaryToBcd16(m);
#endif
}

// m / 10^16 and m % 10^16 for m < 2^108: an estimate from m's top 64 bits times a 64-bit
// reciprocal is short by at most two.
inline uint64_t splitTen16(u128 m, uint64_t *low) {
    constexpr uint64_t reciprocal = static_cast<uint64_t>((u128{1} << 108) / kTen16);
    uint64_t high = hi64(static_cast<u128>(static_cast<uint64_t>(m >> 44)) * reciprocal);
    uint64_t rest = static_cast<uint64_t>(m - static_cast<u128>(high) * kTen16);
    while (rest >= kTen16) {
        ++high;
        rest -= kTen16;
    }
    *low = rest;
    return high;
}

// Binary below 10^32 to packed digits.
inline u128 binaryToPacked(u128 m) {
    uint64_t lo = static_cast<uint64_t>(m), hi = 0;
    if (hi64(m) == 0) {
        if (lo >= kTen16) {
            hi = lo / kTen16;
            lo %= kTen16;
        }
    } else {
        hi = splitTen16(m, &lo);
    }
    if (hi == 0) return binaryToPacked64(lo);
    uint64_t packedHigh, packedLow;
    binaryToBcd16x2(hi, lo, &packedHigh, &packedLow);
    return (static_cast<u128>(packedHigh) << 64) | packedLow;
}

// The digit string of 38 digit positions whose packed area (a zero pad nibble, the digits, the
// state nibble: 20 bytes) ends at p + 20. The bytes are taken in 16-digit words.
inline u128 loadDigits38(const uint8_t *p, unsigned n = 20) {
    const uint64_t w0 = loadBE64(p + n - 8), w1 = loadBE64(p + n - 16);
    const uint64_t w2 = loadTail(p + n - 16, n - 16);
    const u128 high =
        static_cast<u128>(bcdToBinary(w2 >> 4)) * kTen16 + bcdToBinary((w1 >> 4) | (w2 << 60));
    return high * kTen16 + bcdToBinary((w0 >> 4) | (w1 << 60));
}

// The digit string of a record of at most 38 digits.
inline u128 loadDigits(const kivFixed *v) {
    if (fitsPacked(v)) return packedToBinary(loadPacked(v) >> 4);
    return loadDigits38(packedOf(v), v->digits / 2u + 1u);
}

// The digit string of a finite record of any digit count when it is below 10^38, else false.
// Records of more than 38 digits qualify by their leading zeros.
inline bool loadMagnitude(const kivFixed *v, u128 *m) {
    const unsigned digits = v->digits;
    if (digits <= kWordDigits<uint64_t>) {
        *m = bcdToBinary(loadPacked<uint64_t>(v, digits) >> 4);
    } else if (digits <= kPackedDigits) {
        *m = packedToBinary(loadPacked(v, digits) >> 4);
    } else {
        const uint8_t *p = packedOf(v);
        const unsigned n = digits / 2u + 1u;
        if (digits > kNativeDigits) {
            for (unsigned i = 0; i + 20 < n; ++i)
                if (p[i] != 0) return false;
            if (p[n - 20] >> 4) return false;
            p += n - 20;
        }
        *m = loadDigits38(p, std::min(n, 20u));
    }
    return true;
}

// Writes m < 10^38 as the last 38 digit positions of the packed area p[0..n) (n <= 20, the
// record's own, or the last 20 bytes of a longer one), with the sign state.
inline void storeDigits38(uint8_t *p, unsigned n, u128 m, bool negative) {
    uint64_t c0, c1;
    const uint64_t c2 = static_cast<uint64_t>(divmod64(divmod64(m, kTen16, &c0), kTen16, &c1));
    const uint64_t b0 = binaryToBcd16(c0), b1 = binaryToBcd16(c1);
    storeBE64(p + n - 8, (b0 << 4) | static_cast<unsigned>(negative ? kNegative : kPositive));
    storeBE64(p + n - 16, (b1 << 4) | (b0 >> 60));
    storeTail(p + n - 16, n - 16, (binaryToBcd16(c2) << 4) | (b1 >> 60));
}

// Writes a finite value with digit string m < 10^digits (digits <= 38) and its sign.
inline void storeDigits(kivFixed *r, u128 m, bool negative) {
    if (fitsPacked(r)) return storePacked(r, binaryToPacked(m), negative);
    storeDigits38(packedOf(r), r->digits / 2u + 1u, m, negative);
}

// Writes up to 32 packed digits (below 10^digits) and the sign into a record of any digit count:
// the last 31 digits and the state fill the last 16 bytes, the 32nd digit the low nibble of the
// byte before, and every byte above is cleared.
[[gnu::always_inline]] inline void storePackedAny(kivFixed *r, u128 bcd, bool negative) {
    if (r->digits <= kWordDigits<uint64_t>)
        return storePacked<uint64_t>(r, static_cast<uint64_t>(bcd), negative);
    if (r->digits <= kPackedDigits) return storePacked<u128>(r, bcd, negative);
    uint8_t *p = packedOf(r);
    const unsigned n = r->digits / 2u + 1u;
    const u128 w = (bcd << 4) | static_cast<unsigned>(negative ? kNegative : kPositive);
    storeBE64(p + n - 8, static_cast<uint64_t>(w));
    storeBE64(p + n - 16, hi64(w));
    p[n - 17] = static_cast<uint8_t>(bcd >> 124);
    if (n > 17) std::memset(p, 0, n - 17);
}

// Writes a finite value with digit string m into a record of any digit count; m must be below
// 10^digits and below 10^38.
inline void storeMagnitude(kivFixed *r, u128 m, bool negative) {
    if (r->digits <= kWordDigits<uint64_t>)
        return storePacked<uint64_t>(r, binaryToPacked64(static_cast<uint64_t>(m)), negative);
    if (r->digits <= kNativeDigits) return storeDigits(r, m, negative);
    if (m < kPow10[32]) return storePackedAny(r, binaryToPacked(m), negative);
    uint8_t *p = packedOf(r);
    const unsigned n = r->digits / 2u + 1u;
    storeDigits38(p + n - 20, 20, m, negative);
    std::memset(p, 0, n - 20);
}

// Fits the exact value m x 10^-scale to r: truncated to r's scale, an infinity of the sign when
// its integer part does not fit. False, with r untouched, when r is wider than 38 digits and
// the fitted digit string would reach 10^38.
inline bool fitMagnitude(kivFixed *r, u128 m, int64_t scale, bool negative) {
    const int64_t shift = int64_t{r->scale} - scale;
    const int64_t digits = r->digits;
    if (shift >= 0) {
        if (m != 0) {
            if (shift > digits ||
                (digits - shift <= kNativeDigits && m >= kPow10[digits - shift])) {
                setInfinity(r, negative);
                return true;
            }
            if (shift > kNativeDigits || m >= kPow10[kNativeDigits - shift]) return false;
            m *= kPow10[shift];
        }
    } else {
        u128 rem;
        m = shift < -int64_t{kNativeDigits} ? 0 : divPow10(m, static_cast<unsigned>(-shift), &rem);
        if (m >= kPow10[std::min<int64_t>(digits, kNativeDigits)]) {
            if (digits > kNativeDigits) return false;
            setInfinity(r, negative);
            return true;
        }
    }
    storeMagnitude(r, m, negative);
    return true;
}

// Records of 16 to 31 digits: the packed area (9 to 16 bytes) as a 128-bit big-endian word
// whose low 64 bits hold the last 15 digits and the state nibble, so that conversions split
// digit strings at 10^15 and need no shifts across the two halves.
constexpr uint64_t kTen15 = 1000000000000000ull;

inline u128 loadLong(const kivFixed *v, unsigned digits) {
    const unsigned n = digits / 2u + 1u;
    const uint8_t *end = packedOf(v) + n;
    return (static_cast<u128>(loadTail(end - 8, n - 8)) << 64) | loadBE64(end - 8);
}

inline void storeLong(kivFixed *r, unsigned digits, u128 w) {
    const unsigned n = digits / 2u + 1u;
    uint8_t *end = packedOf(r) + n;
    storeBE64(end - 8, static_cast<uint64_t>(w));
    storeTail(end - 8, n - 8, hi64(w));
}

// --- Packed digit strings of any alignment -------------------------------------------------
//
// In packed decimal a change of scale is a shift by whole nibbles: multiplying by 10^k moves
// the digits k nibbles up, and truncating k digits moves them down. Records of up to 15 (31)
// digits give their digit strings as one 64-bit (128-bit) word, which has room for one more
// digit: the carry of a sum.

// How many nibbles of x are significant.
inline unsigned nibbleLength(uint64_t x) {
    return x == 0 ? 0 : (67u - static_cast<unsigned>(__builtin_clzll(x))) / 4u;
}
inline unsigned nibbleLength(u128 x) {
    return hi64(x) != 0 ? 16u + nibbleLength(hi64(x)) : nibbleLength(static_cast<uint64_t>(x));
}

// Records of up to 32 digits: the digit string fills one 128-bit word.
constexpr unsigned kWideDigits = 32;

inline bool fitsWide(const kivFixed *v) {
    return v->digits <= kWideDigits;
}

// The packed digit string of a record of up to 32 digits, and its state nibble. A 32-digit
// record has one byte more than a word: its first digit is the low nibble of that byte.
inline u128 loadPackedDigits(const kivFixed *v, unsigned *state) {
    if (v->digits <= kPackedDigits) {
        const u128 w = loadPacked(v, v->digits);
        *state = static_cast<unsigned>(w) & 15u;
        return w >> 4;
    }
    const uint8_t *p = packedOf(v);
    const u128 w = (static_cast<u128>(loadBE64(p + 1)) << 64) | loadBE64(p + 9);
    *state = static_cast<unsigned>(w) & 15u;
    return (w >> 4) | (static_cast<u128>(p[0] & 15u) << 124);
}

// Fits the exact value m x 10^-scale (m packed, a full word of digits at most) to r as
// fitMagnitude does. False, with r untouched, when the fitted digits would not fit a 128-bit
// word though r has room for them.
template <class W>
[[gnu::always_inline]] inline bool fitPackedWord(kivFixed *r, W m, int64_t scale, bool negative) {
    constexpr int64_t kNibbles = 2 * sizeof(W);
    const int64_t shift = int64_t{r->scale} - scale;
    const int64_t digits = r->digits;
    if (shift < 0) {
        m = shift <= -kNibbles ? 0 : m >> (4 * -shift);
    } else if (shift > 0 && m != 0) {
        const int64_t length = nibbleLength(m) + shift;
        if (length > digits) {
            setInfinity(r, negative);
            return true;
        }
        if (length > 32) return false;
        if constexpr (kNibbles < 32) {
            if (length > kNibbles) return fitPackedWord<u128>(r, m, scale, negative);
        }
        m <<= 4 * shift;
    }
    if (digits < kNibbles && (m >> (4 * digits)) != 0) {
        setInfinity(r, negative);
        return true;
    }
    storePackedAny(r, m, negative);
    return true;
}

}  // namespace kiv::fixed
