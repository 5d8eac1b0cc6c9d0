// SPDX-License-Identifier: Apache-2.0
// Addition, subtraction, multiplication, division, negation and comparison of kivFixed values.
#include <cstring>

#include "fixed/fixed.h"
#include "fixed/native.h"
#include "fixed/wide.h"

namespace kiv::fixed {
namespace {

// --- Operands and result of one type ------------------------------------------------------
//
// The usual shape of fixed-point code: every record of an operation has the same digits and
// scale. The packed areas are then words of one width (64 bits up to 15 digits, 128 up to 31)
// at one place, whose digit strings line up, and one test finds both operands finite. Short
// records' paths are inlined into the public functions and long records' are one call away;
// everything else goes to the general paths.

inline uint32_t typeWord(const kivFixed *v) {
    uint32_t t;  // digits and scale together
    std::memcpy(&t, v, 4);
    return t;
}

inline bool sameType(const kivFixed *r, const kivFixed *a, const kivFixed *b) {
    const uint32_t t = typeWord(r);
    return ((typeWord(a) ^ t) | (typeWord(b) ^ t)) == 0;
}

// Whether the state nibbles (the low four bits) of both words are finite, 12 or 13.
inline bool bothFinite(unsigned wa, unsigned wb) {
    return (((wa ^ kPositive) | (wb ^ kPositive)) & 14u) == 0;
}

// The packed words (digits and state) of two operands of one type: uint64_t for short records
// (up to 15 digits, loadPacked), u128 for long ones (16 to 31 digits, loadLong).
template <class W>
struct Words {
    W a, b;
    // Both finite (states 12 or 13).
    bool finite() const { return bothFinite(static_cast<unsigned>(a), static_cast<unsigned>(b)); }
};
inline Words<uint64_t> loadShortPair(const kivFixed *a, const kivFixed *b, unsigned digits) {
    return {loadPacked<uint64_t>(a, digits), loadPacked<uint64_t>(b, digits)};
}
inline Words<u128> loadLongPair(const kivFixed *a, const kivFixed *b, unsigned digits) {
    return {loadLong(a, digits), loadLong(b, digits)};
}

// The packed areas of two long records of one type as 64-bit halves: the leading 1 to 8
// bytes (hi) and the last 8 bytes, 15 digits and the state (lo).
struct LongPair {
    uint64_t ah, al, bh, bl;
    bool finite() const { return bothFinite(static_cast<unsigned>(al), static_cast<unsigned>(bl)); }
    bool negative() const { return (al ^ bl) & 1; }  // the signs differ
};
inline LongPair loadLongHalves(const kivFixed *a, const kivFixed *b, unsigned digits) {
    const unsigned n = digits / 2u + 1u, k = n - 8;
    const uint8_t *ea = packedOf(a) + n - 8, *eb = packedOf(b) + n - 8;
    const uint64_t mask = kLowBytes[k];
    if (k >= 4)
        return {loadBE64(ea - 8) & mask, loadBE64(ea), loadBE64(eb - 8) & mask, loadBE64(eb)};
    return {loadBE32(ea - 4) & mask, loadBE64(ea), loadBE32(eb - 4) & mask, loadBE64(eb)};
}

// The sign of a finite packed word: state 13 is odd, 12 even.
template <class W>
inline bool negativeOf(W w) {
    return static_cast<unsigned>(w) & 1u;
}

// Writes a packed word with its digits in place and the state nibble clear.
inline void storeWord(kivFixed *r, uint64_t w, bool negative) {
    storeTail(packedOf(r) + r->digits / 2 + 1, r->digits / 2u + 1u,
              w | static_cast<unsigned>(kPositive + negative));
}
inline void storeWord(kivFixed *r, u128 w, bool negative) {
    storeLong(r, r->digits, w | static_cast<unsigned>(kPositive + negative));
}

// Whether a digit lies above the type's `digits` in a word with digits in place: nibble
// digits + 1 up (none for a full word, whose overflow is the carry out).
inline bool exceeds(uint64_t w, unsigned digits) {
    return (w >> (4 * digits + 3)) >> 1;
}
inline bool exceeds(u128 w, unsigned digits) {  // 16 to 31 digits
    return (hi64(w) >> (4 * digits - 61)) >> 1;
}

// Addition with effective signs (b's inverted for a subtraction): equal signs add the
// magnitudes and keep the sign; opposite signs subtract the smaller magnitude from the larger
// and take the larger one's sign, +0 when they are equal.
template <class W>
inline void addWords(kivFixed *r, Words<W> w, bool subtract) {
    const W x = w.a & ~W{15}, y = w.b & ~W{15};
    const bool xNegative = negativeOf(w.a), yNegative = negativeOf(w.b) != subtract;
    W m;
    bool negative, carry = false;
    if (xNegative == yNegative) {
        m = decimalAdd(x, y, &carry);
        negative = xNegative;
    } else if (x >= y) {
        m = decimalSub(x, y);
        negative = xNegative && x != y;
    } else {
        m = decimalSub(y, x);
        negative = yNegative;
    }
    if (carry || exceeds(m, r->digits)) return setInfinity(r, negative);
    storeWord(r, m, negative);
}

// -1, 0 or 1 from the signs and the packed words: with equal states the words order as the
// magnitudes; with different ones the sign decides unless both are zero.
inline int compareSigned(bool aNegative, bool bNegative, bool bothZero, int magnitudes) {
    if (aNegative != bNegative) return bothZero ? 0 : (aNegative ? -1 : 1);
    return aNegative ? -magnitudes : magnitudes;
}
inline int compareShort(Words<uint64_t> w) {
    return compareSigned(negativeOf(w.a), negativeOf(w.b), ((w.a | w.b) >> 4) == 0,
                         (w.a > w.b) - (w.a < w.b));
}
inline int compareLong(const LongPair &w) {
    const u128 x = (static_cast<u128>(w.ah) << 64) | w.al,
               y = (static_cast<u128>(w.bh) << 64) | w.bl;
    return compareSigned(negativeOf(w.al), negativeOf(w.bl),
                         ((w.ah | w.bh) | ((w.al | w.bl) >> 4)) == 0, (x > y) - (x < y));
}

// Products: the digit strings in binary, their product, cut by the scale (>= 0): a division
// by 10^scale, through a reciprocal while the product fits 64 bits. A product of at least
// 10^(digits + scale) does not fit the type; one below it leaves a quotient of at most
// `digits` digits.

// Up to 15 digits: 64-bit digit strings, a product below 10^30; up to 7 digits everything
// fits 64 bits.
inline void mulShort(kivFixed *r, Words<uint64_t> w) {
    const unsigned digits = r->digits, scale = static_cast<unsigned>(r->scale);
    uint64_t x, y, rem, q;
    bool negative;
    if (digits <= 7) {
        bcdToBinary8x2(w.a >> 4, w.b >> 4, &x, &y);
        const uint64_t p = x * y;
        negative = negativeOf(w.a ^ w.b) && p != 0;
        if (p >= static_cast<uint64_t>(kPow10[digits + scale])) return setInfinity(r, negative);
        // The product's digits, the last `scale` of them dropped.
        return storePacked<uint64_t>(r, binaryToBcd16(p) >> (4 * scale), negative);
    }
    bcdToBinary2(w.a >> 4, w.b >> 4, &x, &y);
    const u128 p = static_cast<u128>(x) * y;
    negative = negativeOf(w.a ^ w.b) && p != 0;
    if (p >= kPow10[digits + scale]) return setInfinity(r, negative);
    // A product below 2^64 (always, up to 9 digits) divides by a constant reciprocal.
    q = hi64(p) == 0 ? divPow10(static_cast<uint64_t>(p), scale)
                     : divide128by64(hi64(p), static_cast<uint64_t>(p),
                                     static_cast<uint64_t>(kPow10[scale]), &rem);
    storePacked<uint64_t>(r, binaryToPacked64(q), negative);
}

// A long result of two parts below 10^16 and 10^15, both converted at once.
inline void storeLongParts(kivFixed *r, uint64_t high, uint64_t low, bool negative) {
    uint64_t packedHigh, packedLow;
    binaryToBcd16x2(high, low, &packedHigh, &packedLow);
    storeLong(r, r->digits,
              (static_cast<u128>(packedHigh) << 64) | (packedLow << 4) |
                  static_cast<unsigned>(kPositive + negative));
}

// A long result: its leading digits (packed) and its last 15 (binary, below 10^15).
inline void storeLongResult(kivFixed *r, uint64_t packedHigh, uint64_t low, bool negative) {
    storeLong(r, r->digits,
              (static_cast<u128>(packedHigh) << 64) | (binaryToPacked64(low) << 4) |
                  static_cast<unsigned>(kPositive + negative));
}

// 16 to 19 digits: the leading word holds at most four digits, every digit string fits 64 bits
// and a product that fits the type leaves a quotient below 10^19.
inline void mulMedium(kivFixed *r, const LongPair &w) {
    const unsigned digits = r->digits, scale = static_cast<unsigned>(r->scale);
    uint64_t xl, yl, xh, yh, rem;
    bcdToBinary2(w.al >> 4, w.bl >> 4, &xl, &yl);
    xh = yh = 0;  // values of up to 15 significant digits have nothing in the leading words
    if ((w.ah | w.bh) != 0) bcdToBinary8x2(w.ah, w.bh, &xh, &yh);
    const u128 p = static_cast<u128>(xh * kTen15 + xl) * (yh * kTen15 + yl);
    const bool negative = w.negative() && p != 0;
    if (p >= kPow10[digits + scale]) return setInfinity(r, negative);
    const uint64_t q = hi64(p) == 0 ? divPow10(static_cast<uint64_t>(p), scale)
                                    : divide128by64(hi64(p), static_cast<uint64_t>(p),
                                                    static_cast<uint64_t>(kPow10[scale]), &rem);
    const uint64_t high = q / kTen15;
    storeLongResult(r, high ? smallBinaryToBcd(high) : 0, q - high * kTen15, negative);
}

// 20 to 31 digits, scale <= 19: digit strings below 2^64 (else false), a product below 2^128
// and, when it fits the type, a quotient below 10^31.
inline bool mulLarge(kivFixed *r, const LongPair &w) {
    const unsigned digits = r->digits, scale = static_cast<unsigned>(r->scale);
    uint64_t xl, yl, xh, yh, rem;
    bcdToBinary2(w.al >> 4, w.bl >> 4, &xl, &yl);
    bcdToBinary2(w.ah, w.bh, &xh, &yh);
    const u128 x = static_cast<u128>(xh) * kTen15 + xl, y = static_cast<u128>(yh) * kTen15 + yl;
    if ((hi64(x) | hi64(y)) != 0 || scale > 19) return false;
    const u128 p = static_cast<u128>(static_cast<uint64_t>(x)) * static_cast<uint64_t>(y);
    const bool negative = w.negative() && p != 0;
    // p / 10^scale in two steps: the high word by a constant, then the rest.
    const uint64_t pow = static_cast<uint64_t>(kPow10[scale]);
    const uint64_t q1 = divPow10(hi64(p), scale);
    const uint64_t q0 = divide128by64(hi64(p) - q1 * pow, static_cast<uint64_t>(p), pow, &rem);
    if (((static_cast<u128>(q1) << 64) | q0) >= kPow10[digits]) {
        setInfinity(r, negative);
        return true;
    }
    const uint64_t high = divide128by64(q1, q0, kTen15, &rem);  // q < 10^31: q1 < 10^15
    storeLongParts(r, high, rem, negative);
    return true;
}

// Quotients: the digit string of a / b in the type is floor(x x 10^scale / y). A quotient of
// 2^64 or more has more digits than any type of up to 19 digits.

// Up to 15 digits, a divisor that is not zero (else false): one hardware division.
inline bool divShort(kivFixed *r, Words<uint64_t> w) {
    const unsigned digits = r->digits, scale = static_cast<unsigned>(r->scale);
    uint64_t x, y, rem, q;
    if (digits <= 7) {  // the dividend x x 10^scale stays below 10^14
        bcdToBinary2(w.a >> 4, w.b >> 4, &x, &y);
        if (y == 0) return false;
        q = x * static_cast<uint64_t>(kPow10[scale]) / y;
        if (q >= static_cast<uint64_t>(kPow10[digits])) {
            setInfinity(r, negativeOf(w.a ^ w.b));
        } else {
            storePacked<uint64_t>(r, binaryToBcd16(q), negativeOf(w.a ^ w.b));
        }
        return true;
    }
    bcdToBinary2(w.a >> 4, w.b >> 4, &x, &y);
    if (y == 0) return false;
    const bool negative = negativeOf(w.a ^ w.b);
    const u128 n = static_cast<u128>(x) * static_cast<uint64_t>(kPow10[scale]);
    if (hi64(n) >= y || (q = divide128by64(hi64(n), static_cast<uint64_t>(n), y, &rem)) >=
                            static_cast<uint64_t>(kPow10[digits])) {
        setInfinity(r, negative);
    } else {
        storePacked<uint64_t>(r, binaryToPacked64(q), negative);
    }
    return true;
}

// 16 to 19 digits, a divisor that is not zero (else false): one hardware division.
inline bool divMedium(kivFixed *r, const LongPair &w) {
    uint64_t xl, yl, xh, yh, rem, q;
    bcdToBinary2(w.al >> 4, w.bl >> 4, &xl, &yl);
    xh = yh = 0;  // values of up to 15 significant digits have nothing in the leading words
    if ((w.ah | w.bh) != 0) bcdToBinary8x2(w.ah, w.bh, &xh, &yh);
    const uint64_t y = yh * kTen15 + yl;
    if (y == 0) return false;
    const bool negative = w.negative();
    const u128 n = static_cast<u128>(xh * kTen15 + xl) * static_cast<uint64_t>(kPow10[r->scale]);
    if (hi64(n) >= y || (q = divide128by64(hi64(n), static_cast<uint64_t>(n), y, &rem)) >=
                            static_cast<uint64_t>(kPow10[r->digits])) {
        setInfinity(r, negative);
        return true;
    }
    const uint64_t high = q / kTen15;
    storeLongResult(r, high ? smallBinaryToBcd(high) : 0, q - high * kTen15, negative);
    return true;
}

// 20 to 31 digits: a divisor below 2^64 that is not zero (else false): one hardware division
// while the dividend x x 10^scale fits 64 bits, two beyond.
inline bool divLarge(kivFixed *r, const LongPair &w) {
    const unsigned scale = static_cast<unsigned>(r->scale);
    uint64_t xl, yl, xh, yh, rem;
    bcdToBinary2(w.al >> 4, w.bl >> 4, &xl, &yl);
    bcdToBinary2(w.ah, w.bh, &xh, &yh);
    const u128 x = static_cast<u128>(xh) * kTen15 + xl, y = static_cast<u128>(yh) * kTen15 + yl;
    if (hi64(y) != 0 || y == 0) return false;
    const bool negative = w.negative();
    const uint64_t d = static_cast<uint64_t>(y);
    u128 q;
    if (x < kPow10[kNativeDigits - scale]) {
        q = divmod64(x * kPow10[scale], d, &rem);
    } else {
        // A dividend past 128 bits (below 10^62): a quotient of 2^128 or more does not fit.
        const U256 n = multiplyWide(x, kPow10[scale]);
        if (n.w[3] != 0 || n.w[2] >= d) {
            setInfinity(r, negative);
            return true;
        }
        const uint64_t high = divide128by64(n.w[2], n.w[1], d, &rem);
        q = (static_cast<u128>(high) << 64) | divide128by64(rem, n.w[0], d, &rem);
    }
    if (q >= kPow10[r->digits]) {
        setInfinity(r, negative);
        return true;
    }
    const uint64_t high = divide128by64(hi64(q), static_cast<uint64_t>(q), kTen15, &rem);
    storeLongParts(r, high, rem, negative);
    return true;
}

// --- Addition and subtraction of other records --------------------------------------------

// Finite operands' packed digit strings x (scale sa) and y (scale sb) in words W, with their
// signs as they enter the sum: aligned to the larger scale by nibble shifts, added or subtracted
// in packed decimal and fitted to the result by shifts again. False when the aligned digit
// strings would not leave the word's top nibble free for the carry, or when the result cannot
// take the outcome from a 128-bit word.
template <class W>
[[gnu::always_inline]] inline bool addAligned(kivFixed *r, W x, W y, int64_t sa, int64_t sb,
                                              bool aNeg, bool bNeg) {
    const int64_t scale = std::max(sa, sb);
    const int64_t ka = scale - sa, kb = scale - sb;  // one of them is 0
    if (ka > 0 && x != 0) {
        if (nibbleLength(x) + ka > kWordDigits<W>) return false;
        x <<= 4 * ka;
    }
    if (kb > 0 && y != 0) {
        if (nibbleLength(y) + kb > kWordDigits<W>) return false;
        y <<= 4 * kb;
    }
    if ((x | y) >> (4 * kWordDigits<W>)) return false;  // a 32-digit operand's top digit
    W m = 0;
    bool negative = false;  // equal magnitudes of opposite signs give +0
    if (aNeg == bNeg) {
        m = packedAdd(x, y);
        negative = aNeg;
    } else if (x != y) {
        m = x > y ? packedSub(x, y) : packedSub(y, x);
        negative = x > y ? aNeg : bNeg;
    }
    return fitPackedWord(r, m, scale, negative);
}

// The digit strings of two finite operands aligned to the larger scale as 128-bit integers
// below 10^38, and that scale; false when one does not fit.
bool loadAligned(const kivFixed *a, const kivFixed *b, u128 *x, u128 *y, int64_t *scale) {
    if (!loadMagnitude(a, x) || !loadMagnitude(b, y)) return false;
    *scale = std::max(a->scale, b->scale);
    for (auto [m, k] : {std::pair{x, *scale - a->scale}, std::pair{y, *scale - b->scale}}) {
        if (k == 0 || *m == 0) continue;
        if (k > int64_t{kNativeDigits} || *m >= kPow10[kNativeDigits - k]) return false;
        *m *= kPow10[k];
    }
    return true;
}

// Operands below 10^38: in 128 bits while the aligned operands and the result allow, else in
// 256 bits.
bool addNative(kivFixed *r, const kivFixed *a, const kivFixed *b, bool aNeg, bool bNeg) {
    u128 x, y;
    int64_t scale;
    if (loadAligned(a, b, &x, &y, &scale)) {
        if (aNeg == bNeg ? fitMagnitude(r, x + y, scale, aNeg)
            : x == y     ? fitMagnitude(r, 0, scale, false)
                         : fitMagnitude(r, x > y ? x - y : y - x, scale, x > y ? aNeg : bNeg))
            return true;
    }
    if (!loadMagnitude(a, &x) || !loadMagnitude(b, &y)) return false;
    return addMagnitudes(r, x, a->scale, y, b->scale, aNeg, bNeg);
}

void addDigits(kivFixed *r, const kivFixed *a, const kivFixed *b, bool aNeg, bool bNeg) {
    const DigitView x(a), y(b);
    const int64_t lo = std::min(x.lowExp(), y.lowExp()), hi = std::max(x.highExp(), y.highExp());
    DigitSink out(r);
    if (aNeg == bNeg) {
        unsigned carry = 0;
        for (int64_t e = lo; e < hi; ++e) {
            unsigned s = x.atExp(e) + y.atExp(e) + carry;
            carry = s >= 10;
            out.put(e, carry ? s - 10 : s);
        }
        if (carry) out.put(hi, 1);
        return out.finish(aNeg);
    }
    const int c = compareMagnitudes(x, 0, y, 0);
    if (c == 0) return out.finish(false);
    const DigitView &big = c > 0 ? x : y, &small = c > 0 ? y : x;
    int borrow = 0;
    for (int64_t e = lo; e < hi; ++e) {
        int d = static_cast<int>(big.atExp(e)) - static_cast<int>(small.atExp(e)) - borrow;
        borrow = d < 0;
        out.put(e, static_cast<unsigned>(borrow ? d + 10 : d));
    }
    out.finish(c > 0 ? aNeg : bNeg);
}

// --- Multiplication -------------------------------------------------------------------------

// The product of digit strings x and y at `scale` into r. A product below 10^32 becomes packed
// decimal, which the result's scale cuts by shifts; a longer one is cut in binary.
[[gnu::always_inline]] inline bool mulBinary(kivFixed *r, uint64_t x, uint64_t y, int64_t scale,
                                             bool negative) {
    const u128 p = static_cast<u128>(x) * y;
    negative = negative && p != 0;
    if (hi64(p) == 0 && static_cast<uint64_t>(p) < kTen16) {
        const uint64_t q = static_cast<uint64_t>(p);
        return fitPackedWord<uint64_t>(
            r, q < 100000000 ? binaryToBcd8(static_cast<uint32_t>(q)) : binaryToBcd16(q), scale,
            negative);
    }
    if (p < kPow10[32] && fitPackedWord<u128>(r, binaryToPacked(p), scale, negative)) return true;
    return fitMagnitude(r, p, scale, negative);
}

// Operands below 10^38 (of any types): their product in one 64 x 64-bit multiplication while
// both digit strings fit 64 bits and the result takes it from 128 bits, else in 256 bits.
bool mulNative(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative) {
    u128 x, y;
    if (!loadMagnitude(a, &x) || !loadMagnitude(b, &y)) return false;
    const int64_t scale = int64_t{a->scale} + b->scale;
    if (x == 0 || y == 0) return fitMagnitude(r, 0, scale, false);
    if ((hi64(x) | hi64(y)) == 0 &&
        mulBinary(r, static_cast<uint64_t>(x), static_cast<uint64_t>(y), scale, negative))
        return true;
    return mulMagnitudes(r, x, y, scale, negative);
}

// --- Division --------------------------------------------------------------------------------
//
// The quotient's digit string is floor(Da x 10^shift / Db) with shift = r.scale - a.scale +
// b.scale: the exact quotient truncated at r's last digit.

void divideByZero(kivFixed *r, bool dividendZero, bool negative) {
    if (dividendZero) return setSpecial(r, kNaN);
    setInfinity(r, negative);
}

// floor(x x 10^shift / y) into r; false when the dividend exceeds 128 bits or r is wider than
// 38 digits and the quotient reaches 10^38.
bool divideNative(kivFixed *r, u128 x, u128 y, int64_t shift, bool negative) {
    u128 n, rem;
    if (shift >= 0) {
        if (shift > kNativeDigits || x >= kPow10[kNativeDigits - shift]) return false;
        n = x * kPow10[shift];
    } else {
        n = shift < -int64_t{kNativeDigits} ? 0 : divPow10(x, static_cast<unsigned>(-shift), &rem);
    }
    uint64_t rem64;
    const u128 q = hi64(y) == 0 ? divmod64(n, static_cast<uint64_t>(y), &rem64) : n / y;
    const unsigned digits = r->digits;
    if (q >= kPow10[std::min(digits, kNativeDigits)]) {
        if (digits > kNativeDigits) return false;
        setInfinity(r, negative);
    } else {
        storeMagnitude(r, q, negative);
    }
    return true;
}

// floor(x x 10^shift / y) into r for digit strings below 2^64, y not zero: one hardware
// division. False when the shift is outside 0 to 19 or the quotient reaches 2^64 and r might
// hold it.
[[gnu::always_inline]] inline bool divBinary(kivFixed *r, uint64_t x, uint64_t y, int64_t shift,
                                             bool negative) {
    if (y == 0 || shift < 0 || shift > 19) return false;
    const u128 n = static_cast<u128>(x) * static_cast<uint64_t>(kPow10[shift]);
    const unsigned digits = r->digits;
    uint64_t q, rem;
    if (hi64(n) == 0) {
        q = static_cast<uint64_t>(n) / y;
    } else if (hi64(n) < y) {
        q = divide128by64(hi64(n), static_cast<uint64_t>(n), y, &rem);
    } else {
        if (digits > 19) return false;
        setInfinity(r, negative);  // 2^64 > 10^19
        return true;
    }
    if (digits < 20 && q >= kPow10[digits]) {
        setInfinity(r, negative);
    } else if (q < kTen16) {
        storePackedAny(r, q < 100000000 ? binaryToBcd8(static_cast<uint32_t>(q)) : binaryToBcd16(q),
                       negative);
    } else {
        storeMagnitude(r, q, negative);
    }
    return true;
}

bool divNative(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative) {
    u128 x, y;
    if (!loadMagnitude(a, &x) || !loadMagnitude(b, &y)) return false;
    if (y == 0) {
        divideByZero(r, x == 0, negative);
        return true;
    }
    const int64_t shift = int64_t{r->scale} - a->scale + b->scale;
    return divideNative(r, x, y, shift, negative) || divMagnitudes(r, x, y, shift, negative);
}

// --- Comparison ------------------------------------------------------------------------------

// Magnitude comparison of packed digit strings x (scale sa) and y (scale sb): -1, 0, 1; false
// when aligning them would overflow the word. Packed words order as their values.
template <class W>
[[gnu::always_inline]] inline bool compareAligned(W x, W y, int64_t sa, int64_t sb, int *c,
                                                  bool *bothZero) {
    const int64_t ka = sb - sa;  // x's shift when positive, else y's
    W &low = ka > 0 ? x : y;
    const int64_t k = ka > 0 ? ka : -ka;
    if (k > 0 && low != 0) {
        if (nibbleLength(low) + k > 2 * int64_t{sizeof(W)}) return false;
        low <<= 4 * k;
    }
    *c = x < y ? -1 : (x > y ? 1 : 0);
    *bothZero = (x | y) == 0;
    return true;
}

// Magnitude comparison of finite operands below 10^38: -1, 0, 1; false when they are not.
bool compareNative(const kivFixed *a, const kivFixed *b, int *c, bool *bothZero) {
    u128 x, y;
    int64_t scale;
    if (!loadAligned(a, b, &x, &y, &scale)) return false;
    *c = x < y ? -1 : (x > y ? 1 : 0);
    *bothZero = x == 0 && y == 0;
    return true;
}

// Order of non-NaN states when not both are finite: -Inf < finite < +Inf.
int compareStates(int sa, int sb) {
    auto rank = [](int s) { return s == kNegInf ? -1 : (s == kPosInf ? 1 : 0); };
    const int ra = rank(sa), rb = rank(sb);
    if (ra != rb) return ra < rb ? -1 : 1;
    if (ra != 0) return 0;  // the same infinity
    return isNegativeState(sa) == isNegativeState(sb) ? 0 : (isNegativeState(sa) ? -1 : 1);
}

// Whether relation op holds for c = -1, 0, 1: bit 3 op + c + 1 of a table, 0 for other ops.
inline bool relationHolds(int c, int op) {
    constexpr uint32_t kHolds = 0b010 | 0b101 << 3 | 0b001 << 6 | 0b011 << 9 | 0b110 << 12 |
                                0b100 << 15;  // EQ, NE, LT, LE, GE, GT
    return static_cast<unsigned>(op) <= KIV_FIXED_GT &&
           ((kHolds >> (3 * static_cast<unsigned>(op) + static_cast<unsigned>(c + 1))) & 1u);
}

// Everything but the same-type paths: special values, other types, long records.
__attribute__((noinline)) void addOther(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                        bool subtract, Path path) {
    const int sa = stateOf(a), sb = stateOf(b);
    if (isFiniteState(sa) && isFiniteState(sb)) {
        const bool aNeg = sa == kNegative, bNeg = (sb == kNegative) != subtract;
        if (path == Path::Fast && addNative(r, a, b, aNeg, bNeg)) return;
        return addDigits(r, a, b, aNeg, bNeg);
    }
    if (isNaNState(sa)) return copyNaN(r, a);
    if (isNaNState(sb)) return copyNaN(r, b);
    // b's infinity as it enters the sum.
    const int bInf = isFiniteState(sb) ? sb : (subtract ? (sb == kPosInf ? kNegInf : kPosInf) : sb);
    if (isFiniteState(sa)) return setSpecial(r, bInf);
    if (!isFiniteState(sb) && bInf != sa) return setSpecial(r, kNaN);
    setSpecial(r, sa);
}

__attribute__((noinline)) void mulOther(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                        Path path) {
    const int sa = stateOf(a), sb = stateOf(b);
    if (isNaNState(sa)) return copyNaN(r, a);
    if (isNaNState(sb)) return copyNaN(r, b);
    const bool negative = isNegativeState(sa) != isNegativeState(sb);
    if (!isFiniteState(sa) || !isFiniteState(sb)) return setInfinity(r, negative);
    if (path == Path::Fast && mulNative(r, a, b, negative)) return;
    mulLimbs(r, a, b, negative);
}

__attribute__((noinline)) void divOther(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                        Path path) {
    const int sa = stateOf(a), sb = stateOf(b);
    if (isNaNState(sa)) return copyNaN(r, a);
    if (isNaNState(sb)) return copyNaN(r, b);
    const bool negative = isNegativeState(sa) != isNegativeState(sb);
    if (!isFiniteState(sa)) {
        if (!isFiniteState(sb)) return setSpecial(r, kNaN);
        return setInfinity(r, negative);
    }
    if (!isFiniteState(sb)) return setSpecial(r, negative ? kNegative : kPositive);  // a zero
    if (path == Path::Fast && divNative(r, a, b, negative)) return;
    if (DigitView(b).isZero()) return divideByZero(r, DigitView(a).isZero(), negative);
    divLimbs(r, a, b, negative);
}

__attribute__((noinline)) int cmpOther(const kivFixed *a, const kivFixed *b, int op, Path path) {
    const int sa = stateOf(a), sb = stateOf(b);
    int c;
    if (isFiniteState(sa) && isFiniteState(sb)) {
        bool bothZero;
        if (path != Path::Fast || !compareNative(a, b, &c, &bothZero)) {
            const DigitView x(a), y(b);
            c = compareMagnitudes(x, 0, y, 0);
            bothZero = c == 0 && x.isZero();
        }
        const bool aNeg = sa == kNegative, bNeg = sb == kNegative;
        if (aNeg == bNeg) {
            if (aNeg) c = -c;
        } else {
            c = bothZero ? 0 : (aNeg ? -1 : 1);
        }
    } else if (isNaNState(sa) || isNaNState(sb)) {
        return op == KIV_FIXED_NE;
    } else {
        c = compareStates(sa, sb);
    }
    return relationHolds(c, op);
}

// Records of one type and 16 to 31 digits; everything else goes to the general paths.
__attribute__((noinline)) void addLong(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                       bool subtract) {
    const Words<u128> w = loadLongPair(a, b, r->digits);
    if (w.finite()) return addWords(r, w, subtract);
    addOther(r, a, b, subtract, Path::Fast);
}

__attribute__((noinline)) void mulMediumRecords(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    const LongPair w = loadLongHalves(a, b, r->digits);
    if (w.finite()) return mulMedium(r, w);
    mulOther(r, a, b, Path::Fast);
}

__attribute__((noinline)) void mulLargeRecords(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    const LongPair w = loadLongHalves(a, b, r->digits);
    if (w.finite() && mulLarge(r, w)) return;
    mulOther(r, a, b, Path::Fast);
}

__attribute__((noinline)) void divMediumRecords(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    const LongPair w = loadLongHalves(a, b, r->digits);
    if (w.finite() && divMedium(r, w)) return;
    divOther(r, a, b, Path::Fast);
}

__attribute__((noinline)) void divLargeRecords(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    const LongPair w = loadLongHalves(a, b, r->digits);
    if (w.finite() && divLarge(r, w)) return;
    divOther(r, a, b, Path::Fast);
}

// --- Operands of other types -----------------------------------------------------------------
//
// Records of up to 15 digits take paths on 64-bit words, records of up to 32 digits paths on
// 128-bit words (or 64-bit digit strings), each one call away from the public function. What
// they cannot take (a word overflowing, a special value) goes on to the general paths: 128-bit
// integers while the digit strings stay below 10^38, then digit by digit.

__attribute__((noinline)) void addWide(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                       bool subtract) {
    unsigned sa, sb;
    const u128 x = loadPackedDigits(a, &sa), y = loadPackedDigits(b, &sb);
    if (bothFinite(sa, sb) &&
        addAligned<u128>(r, x, y, a->scale, b->scale, sa & 1, ((sb & 1) != 0) != subtract))
        return;
    addOther(r, a, b, subtract, Path::Fast);
}

// Operands of one type of up to 31 digits and a result at their scale of up to 32 digits (the
// type that holds a sum's carry is one): the packed words add in place, without alignment.
__attribute__((noinline)) void addSameScale(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                            bool subtract) {
    const unsigned digits = a->digits;
    const u128 wa = loadPacked(a, digits), wb = loadPacked(b, digits);
    if (!bothFinite(static_cast<unsigned>(wa), static_cast<unsigned>(wb)))
        return addOther(r, a, b, subtract, Path::Fast);
    const u128 x = wa >> 4, y = wb >> 4;
    const bool aNeg = negativeOf(wa), bNeg = negativeOf(wb) != subtract;
    u128 m;
    bool negative;
    if (aNeg == bNeg) {
        m = packedAdd(x, y);
        negative = aNeg;
    } else if (x >= y) {
        m = packedSub(x, y);
        negative = aNeg && x != y;  // equal magnitudes give +0
    } else {
        m = packedSub(y, x);
        negative = bNeg;
    }
    if (r->digits < kWideDigits && (m >> (4 * r->digits)) != 0) return setInfinity(r, negative);
    storePackedAny(r, m, negative);
}

__attribute__((noinline)) int cmpWide(const kivFixed *a, const kivFixed *b, int op) {
    unsigned sa, sb;
    const u128 x = loadPackedDigits(a, &sa), y = loadPackedDigits(b, &sb);
    int c;
    bool bothZero;
    if (bothFinite(sa, sb) && compareAligned<u128>(x, y, a->scale, b->scale, &c, &bothZero))
        return relationHolds(compareSigned(sa & 1, sb & 1, bothZero, c), op);
    return cmpOther(a, b, op, Path::Fast);
}

// Two packed digit strings of up to 32 digits as base-10^16 digits, both operands' words at
// once: x = x[1] x 10^16 + x[0].
struct HalvesPair {
    uint64_t x[2], y[2];
    bool fit64() const { return (hi64(whole(x)) | hi64(whole(y))) == 0; }
    static u128 whole(const uint64_t *h) { return static_cast<u128>(h[1]) * kTen16 + h[0]; }
};
inline HalvesPair toHalves(u128 pa, u128 pb) {
    HalvesPair h{{0, 0}, {0, 0}};
    bcdToBinary2(static_cast<uint64_t>(pa), static_cast<uint64_t>(pb), &h.x[0], &h.y[0]);
    if ((hi64(pa) | hi64(pb)) != 0) bcdToBinary2(hi64(pa), hi64(pb), &h.x[1], &h.y[1]);
    return h;
}

// The packed digit strings of two records of up to 32 digits in 64 bits each, else false.
inline bool packedPairToBinary(u128 pa, u128 pb, uint64_t *x, uint64_t *y) {
    const HalvesPair h = toHalves(pa, pb);
    if (!h.fit64()) return false;
    *x = static_cast<uint64_t>(HalvesPair::whole(h.x));
    *y = static_cast<uint64_t>(HalvesPair::whole(h.y));
    return true;
}

// The digit strings of two finite records of up to 32 digits in 64 bits each, else false.
inline bool loadBinaryPair(const kivFixed *a, const kivFixed *b, uint64_t *x, uint64_t *y,
                           bool *negative) {
    unsigned sa, sb;
    const u128 pa = loadPackedDigits(a, &sa), pb = loadPackedDigits(b, &sb);
    *negative = (sa ^ sb) & 1;
    return bothFinite(sa, sb) && packedPairToBinary(pa, pb, x, y);
}

// A product of up to 64 digits: one 64 x 64-bit multiplication while both digit strings fit
// 64 bits and the result takes the product from 128 bits, else in base-10^16 columns.
__attribute__((noinline)) void mulWide(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    unsigned sa, sb;
    const u128 pa = loadPackedDigits(a, &sa), pb = loadPackedDigits(b, &sb);
    if (bothFinite(sa, sb)) {
        const int64_t scale = int64_t{a->scale} + b->scale;
        const bool negative = (sa ^ sb) & 1;
        const HalvesPair h = toHalves(pa, pb);
        if (h.fit64() && mulBinary(r, static_cast<uint64_t>(HalvesPair::whole(h.x)),
                                   static_cast<uint64_t>(HalvesPair::whole(h.y)), scale, negative))
            return;
        if (mulBase16(r, h.x, h.y, scale, negative)) return;
    }
    mulOther(r, a, b, Path::Fast);
}

__attribute__((noinline)) void divWide(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    uint64_t x, y;
    bool negative;
    if (loadBinaryPair(a, b, &x, &y, &negative) &&
        divBinary(r, x, y, int64_t{r->scale} - a->scale + b->scale, negative))
        return;
    divOther(r, a, b, Path::Fast);
}

// Records of up to 15 digits of other types: the paths on 64-bit words.
__attribute__((noinline)) void addShort(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                        bool subtract) {
    const uint64_t wa = loadPacked<uint64_t>(a), wb = loadPacked<uint64_t>(b);
    if (bothFinite(static_cast<unsigned>(wa), static_cast<unsigned>(wb)) &&
        addAligned<uint64_t>(r, wa >> 4, wb >> 4, a->scale, b->scale, wa & 1,
                             ((wb & 1) != 0) != subtract))
        return;
    addOther(r, a, b, subtract, Path::Fast);
}

// The digit strings of two finite records of up to 15 digits in binary, else false.
inline bool loadShortBinary(const kivFixed *a, const kivFixed *b, uint64_t *x, uint64_t *y,
                            bool *negative) {
    const uint64_t wa = loadPacked<uint64_t>(a), wb = loadPacked<uint64_t>(b);
    if (!bothFinite(static_cast<unsigned>(wa), static_cast<unsigned>(wb))) return false;
    if (a->digits <= 8 && b->digits <= 8) {
        bcdToBinary8x2(wa >> 4, wb >> 4, x, y);
    } else {
        bcdToBinary2(wa >> 4, wb >> 4, x, y);
    }
    *negative = (wa ^ wb) & 1;
    return true;
}

__attribute__((noinline)) void mulShortRecords(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    uint64_t x, y;
    bool negative;
    if (loadShortBinary(a, b, &x, &y, &negative) &&
        mulBinary(r, x, y, int64_t{a->scale} + b->scale, negative))
        return;
    mulOther(r, a, b, Path::Fast);
}

__attribute__((noinline)) void divShortRecords(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    uint64_t x, y;
    bool negative;
    if (loadShortBinary(a, b, &x, &y, &negative) &&
        divBinary(r, x, y, int64_t{r->scale} - a->scale + b->scale, negative))
        return;
    divOther(r, a, b, Path::Fast);
}

__attribute__((noinline)) int cmpShort(const kivFixed *a, const kivFixed *b, int op) {
    const uint64_t wa = loadPacked<uint64_t>(a), wb = loadPacked<uint64_t>(b);
    int c;
    bool bothZero;
    if (bothFinite(static_cast<unsigned>(wa), static_cast<unsigned>(wb)) &&
        compareAligned<uint64_t>(wa >> 4, wb >> 4, a->scale, b->scale, &c, &bothZero))
        return relationHolds(compareSigned(wa & 1, wb & 1, bothZero, c), op);
    return cmpOther(a, b, op, Path::Fast);
}

}  // namespace

// The public operations pick a path by the records' digit counts and types, and call it.

void addFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, bool subtract, Path path) {
    if (path == Path::Fast) {
        if (sameType(r, a, b)) {
            if (fitsWord<uint64_t>(r)) {
                const Words<uint64_t> w = loadShortPair(a, b, r->digits);
                if (w.finite()) return addWords(r, w, subtract);
            } else if (fitsPacked(r)) {
                return addLong(r, a, b, subtract);
            }
        } else if (fitsWord<uint64_t>(a) && fitsWord<uint64_t>(b)) {
            return addShort(r, a, b, subtract);
        } else if (typeWord(a) == typeWord(b) && a->scale == r->scale && fitsPacked(a) &&
                   fitsWide(r)) {
            return addSameScale(r, a, b, subtract);
        } else if (fitsWide(a) && fitsWide(b)) {
            return addWide(r, a, b, subtract);
        }
    }
    addOther(r, a, b, subtract, path);
}

void mulFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, Path path) {
    if (path == Path::Fast) {
        if (sameType(r, a, b) && r->scale >= 0) {
            if (fitsWord<uint64_t>(r)) {
                const Words<uint64_t> w = loadShortPair(a, b, r->digits);
                if (w.finite()) return mulShort(r, w);
            } else if (r->digits <= 19) {
                return mulMediumRecords(r, a, b);
            } else if (fitsPacked(r)) {
                return mulLargeRecords(r, a, b);
            }
        } else if (fitsWord<uint64_t>(a) && fitsWord<uint64_t>(b)) {
            return mulShortRecords(r, a, b);
        } else if (fitsWide(a) && fitsWide(b)) {
            return mulWide(r, a, b);
        }
    }
    mulOther(r, a, b, path);
}

void divFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, Path path) {
    if (path == Path::Fast) {
        if (sameType(r, a, b) && r->scale >= 0) {
            if (fitsWord<uint64_t>(r)) {
                const Words<uint64_t> w = loadShortPair(a, b, r->digits);
                if (w.finite() && divShort(r, w)) return;
            } else if (r->digits <= 19) {
                return divMediumRecords(r, a, b);
            } else if (fitsPacked(r)) {
                return divLargeRecords(r, a, b);
            }
        } else if (fitsWord<uint64_t>(a) && fitsWord<uint64_t>(b)) {
            return divShortRecords(r, a, b);
        } else if (fitsWide(a) && fitsWide(b)) {
            return divWide(r, a, b);
        }
    }
    divOther(r, a, b, path);
}

void negateFixed(kivFixed *r, const kivFixed *v, Path path) {
    const int s = stateOf(v);
    if (isNaNState(s)) return copyNaN(r, v);
    if (s == kPosInf || s == kNegInf) return setSpecial(r, s == kPosInf ? kNegInf : kPosInf);
    const bool negative = s == kPositive;  // inverted
    if (path == Path::Fast && r->digits == v->digits && r->scale == v->scale && fitsPacked(v)) {
        const u128 m = loadPacked(v) >> 4;
        return storePacked<u128>(r, m, negative && m != 0);
    }
    u128 m;
    if (path == Path::Fast && loadMagnitude(v, &m) &&
        fitMagnitude(r, m, v->scale, negative && m != 0))
        return;
    const DigitView x(v);
    const bool resultNegative = negative && !x.isZero();
    DigitSink out(r);
    for (int64_t e = x.lowExp(); e < x.highExp(); ++e) out.put(e, x.atExp(e));
    out.finish(resultNegative);
}

int cmpFixed(const kivFixed *a, const kivFixed *b, int op, Path path) {
    if (path == Path::Fast) {
        if (typeWord(a) == typeWord(b)) {
            const unsigned digits = a->digits;
            if (fitsWord<uint64_t>(a)) {
                const Words<uint64_t> w = loadShortPair(a, b, digits);
                if (w.finite()) return relationHolds(compareShort(w), op);
            } else if (fitsPacked(a)) {
                const LongPair w = loadLongHalves(a, b, digits);
                if (w.finite()) return relationHolds(compareLong(w), op);
            }
        } else if (fitsWord<uint64_t>(a) && fitsWord<uint64_t>(b)) {
            return cmpShort(a, b, op);
        } else if (fitsWide(a) && fitsWide(b)) {
            return cmpWide(a, b, op);
        }
    }
    return cmpOther(a, b, op, path);
}

}  // namespace kiv::fixed

using kiv::fixed::Path;

void kivFixedAdd(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    kiv::fixed::addFixed(r, a, b, false, Path::Fast);
}

void kivFixedSub(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    kiv::fixed::addFixed(r, a, b, true, Path::Fast);
}

void kivFixedMul(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    kiv::fixed::mulFixed(r, a, b, Path::Fast);
}

void kivFixedDiv(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    kiv::fixed::divFixed(r, a, b, Path::Fast);
}

void kivFixedNegate(kivFixed *r, const kivFixed *v) {
    kiv::fixed::negateFixed(r, v, Path::Fast);
}

int kivFixedCmp(const kivFixed *a, const kivFixed *b, int op) {
    return kiv::fixed::cmpFixed(a, b, op, Path::Fast);
}
