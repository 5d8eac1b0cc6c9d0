// SPDX-License-Identifier: Apache-2.0
// Internals of the kivFixed family: reading a record's digits by position, writing a result
// fitted to a record's type, and the special values.
//
// A finite record holds the digit string D and the sign; its value is D x 10^-scale. Digits are
// addressed either by index (0 = most significant) or by decimal exponent e, the digit of
// weight 10^e. Every operation computes exactly and fits the outcome to the result's type:
// digits below the result's last position are dropped, a non-zero digit above its first
// position makes the result an infinity.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kiv_fixed.h"

namespace kiv::fixed {

constexpr int kPosInf = KIV_FIXED_POS_INF;
constexpr int kNegInf = KIV_FIXED_NEG_INF;
constexpr int kPositive = KIV_FIXED_POSITIVE;
constexpr int kNegative = KIV_FIXED_NEGATIVE;
constexpr int kNaN = KIV_FIXED_NAN;
constexpr int kOtherNaN = 15;

// Which algorithms an operation may use. Fast tries native 64/128-bit arithmetic first when the
// operands fit; General always runs the digit-serial and limb algorithms. Both give the same
// results; tests and fuzzers compare them.
enum class Path { Fast, General };

inline size_t packedLength(unsigned digits) {
    return digits / 2u + 1u;
}

// Records are accessed through plain pointers: `packed` is declared with one element but holds
// digits / 2 + 1 bytes.
inline const uint8_t *packedOf(const kivFixed *v) {
    return v->packed;
}
inline uint8_t *packedOf(kivFixed *v) {
    return v->packed;
}

inline int stateOf(const kivFixed *v) {
    return packedOf(v)[v->digits / 2] & 15;
}
inline bool isFiniteState(int s) {
    return s == kPositive || s == kNegative;
}
// 14 and 15 are NaN; so are 0 to 9, which the family never writes.
inline bool isNaNState(int s) {
    return s >= kNaN || s < kPosInf;
}
// For infinities and finite values: 11 and 13 are negative.
inline bool isNegativeState(int s) {
    return s == kNegInf || s == kNegative;
}

// Clears every packed byte and writes `state` as the whole last byte.
void setSpecial(kivFixed *v, int state);
inline void setInfinity(kivFixed *v, bool negative) {
    setSpecial(v, negative ? kNegInf : kPosInf);
}
// Makes r a NaN that copies v's packed bytes as far as the shorter record reaches, with v's
// state (15 for a state nibble of 0 to 9). r may be v.
void copyNaN(kivFixed *r, const kivFixed *v);

// Read access to a record's digits; positions outside the record read as 0, which covers the
// implied zeros of a negative scale.
class DigitView {
  public:
    explicit DigitView(const kivFixed *v)
        : p_(packedOf(v)), digits_(v->digits), scale_(v->scale), pad_((v->digits & 1u) ^ 1u) {}

    int64_t digits() const { return digits_; }
    int64_t scale() const { return scale_; }
    // Exponents of the last digit and one past the first.
    int64_t lowExp() const { return -scale_; }
    int64_t highExp() const { return digits_ - scale_; }
    int64_t expOfIndex(int64_t i) const { return digits_ - 1 - scale_ - i; }

    unsigned at(int64_t i) const {
        if (i < 0 || i >= digits_) return 0;
        uint64_t n = static_cast<uint64_t>(i) + pad_;
        uint8_t b = p_[n >> 1];
        return (n & 1) ? (b & 15u) : (b >> 4);
    }
    unsigned atExp(int64_t e) const { return at(digits_ - 1 - scale_ - e); }

    // Index of the first non-zero digit, or digits() when every digit is zero.
    int64_t firstNonZero() const;
    bool isZero() const { return firstNonZero() == digits_; }
    // Whether a digit with exponent in [from, to) is not zero.
    bool anyNonZero(int64_t from, int64_t to) const;

  private:
    const uint8_t *p_;
    int64_t digits_;
    int64_t scale_;
    unsigned pad_;
};

// Compares x's digit string times 10^xShift with y's times 10^yShift: -1, 0 or 1.
int compareMagnitudes(const DigitView &x, int64_t xShift, const DigitView &y, int64_t yShift);

// Writes digits of a result record by exponent; exponents outside the record are ignored.
class DigitWriter {
  public:
    explicit DigitWriter(kivFixed *r);
    int64_t lowExp() const { return lo_; }
    int64_t highExp() const { return hi_; }
    void clear();  // every packed byte
    void set(int64_t e, unsigned d) {
        if (e < lo_ || e >= hi_) return;
        uint64_t n = static_cast<uint64_t>(hi_ - 1 - e) + pad_;
        uint8_t &b = p_[n >> 1];
        d &= 15u;
        b = (n & 1) ? static_cast<uint8_t>((b & 0xF0u) | d)
                    : static_cast<uint8_t>((b & 0x0Fu) | (d << 4));
    }
    // Clears the leading pad nibble of an even digit count and writes the sign state.
    void setState(bool negative);

  protected:
    kivFixed *r_;
    uint8_t *p_;
    int64_t lo_;
    int64_t hi_;
    unsigned pad_;
};

// Receives the digits of an exact non-negative outcome from the least significant upward (put
// with increasing exponents; skipped exponents are zeros) and fits them to the record: digits
// below its last position are dropped, a non-zero digit above its first position makes it an
// infinity. A position is written only when its digit arrives (or at finish), so an operand
// that is the same record stays readable at every higher position until then.
class DigitSink : private DigitWriter {
  public:
    explicit DigitSink(kivFixed *r) : DigitWriter(r), next_(lo_) {}
    using DigitWriter::highExp;
    using DigitWriter::lowExp;

    void put(int64_t e, unsigned d) {
        if (e < lo_) return;
        if (e >= hi_) {
            overflow_ |= d != 0;
            return;
        }
        while (next_ < e) set(next_++, 0);
        set(e, d);
        next_ = e + 1;
    }
    // Fills the remaining positions with zeros and writes the state, or the infinity of
    // `negative` when a digit did not fit.
    void finish(bool negative);

  private:
    int64_t next_;
    bool overflow_ = false;
};

// The rounding decision: whether to add one unit at the last kept digit. `half` compares the
// dropped digits with one half unit (-1, 0, 1); `rest` is whether any dropped digit is not
// zero; `odd` whether the last kept digit is odd.
bool roundsUp(int mode, int half, bool rest, bool odd, bool negative);

// Operations shared by the public functions, with the choice of algorithms for tests.
void addFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, bool subtract, Path path);
void mulFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, Path path);
void divFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, Path path);
void negateFixed(kivFixed *r, const kivFixed *v, Path path);
int cmpFixed(const kivFixed *a, const kivFixed *b, int op, Path path);
void roundFixed(kivFixed *r, const kivFixed *v, int64_t scale, int mode, Path path);
void setStringFixed(kivFixed *v, const char *text, char **end, Path path);
int64_t getStringFixed(const kivFixed *v, int32_t precision, char *buffer, size_t size, Path path);

// Multiplication and division of finite operands by base-10^9 limbs (any digit count); the
// sign of the result is given.
void mulLimbs(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative);
// b must not be zero.
void divLimbs(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative);

}  // namespace kiv::fixed
