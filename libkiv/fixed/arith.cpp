// Addition, subtraction, multiplication, division, negation and comparison of kivFixed values.
#include <cstring>

#include "fixed/fixed.h"
#include "fixed/native.h"

namespace kiv::fixed {
namespace {

// --- Addition and subtraction -------------------------------------------------------------
//
// Both reduce to adding a and b with effective signs (b's inverted for a subtraction). Equal
// signs add the magnitudes and keep the sign; opposite signs subtract the smaller magnitude
// from the larger and take the larger one's sign, +0 when they are equal.

// Finite operands and a result of one scale that fit a word W: packed decimal throughout.
template <class W>
inline bool addPacked(kivFixed *r, const kivFixed *a, const kivFixed *b, bool subtract) {
    PackedValue<W> x, y;
    if (a->scale != b->scale || a->scale != r->scale || !fitsWord<W>(r)) return false;
    if (!loadFinitePacked(a, &x) || !loadFinitePacked(b, &y)) return false;
    y.negative ^= subtract;
    W m = 0;
    bool negative = false;
    if (x.negative == y.negative) {
        m = packedAdd(x.digits, y.digits);
        negative = x.negative;
    } else if (x.digits != y.digits) {
        const bool aLarger = x.digits > y.digits;
        m = aLarger ? packedSub(x.digits, y.digits) : packedSub(y.digits, x.digits);
        negative = aLarger ? x.negative : y.negative;
    }
    if (m >> (4 * r->digits)) {
        setInfinity(r, negative);
    } else {
        storePacked(r, m, negative);
    }
    return true;
}

// Whether every record fits a 64-bit word.
inline bool allShort(const kivFixed *a, const kivFixed *b, const kivFixed *r) {
    return (a->digits | b->digits | r->digits) <= kWordDigits<uint64_t>;
}

bool addNative(kivFixed *r, const kivFixed *a, const kivFixed *b, bool aNeg, bool bNeg) {
    if (!fitsNative(a) || !fitsNative(b) || !fitsNative(r)) return false;
    const int64_t scale = std::max(a->scale, b->scale);
    const int64_t ka = scale - a->scale, kb = scale - b->scale;
    if (a->digits + ka > kNativeDigits || b->digits + kb > kNativeDigits) return false;
    const u128 x = loadDigits(a) * kPow10[ka], y = loadDigits(b) * kPow10[kb];
    if (aNeg == bNeg) {
        fitNative(r, x + y, scale, aNeg);
    } else if (x != y) {
        fitNative(r, x > y ? x - y : y - x, scale, x > y ? aNeg : bNeg);
    } else {
        fitNative(r, 0, scale, false);
    }
    return true;
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

struct U256 {
    uint64_t w[4];  // w[0] least significant
};

U256 multiplyWide(u128 x, u128 y) {
    const uint64_t x0 = static_cast<uint64_t>(x), x1 = hi64(x);
    const uint64_t y0 = static_cast<uint64_t>(y), y1 = hi64(y);
    const u128 p00 = static_cast<u128>(x0) * y0, p01 = static_cast<u128>(x0) * y1;
    const u128 p10 = static_cast<u128>(x1) * y0, p11 = static_cast<u128>(x1) * y1;
    const u128 mid =
        static_cast<u128>(hi64(p00)) + static_cast<uint64_t>(p01) + static_cast<uint64_t>(p10);
    const u128 top = p11 + hi64(p01) + hi64(p10) + hi64(mid);
    return {{static_cast<uint64_t>(p00), static_cast<uint64_t>(mid), static_cast<uint64_t>(top),
             hi64(top)}};
}

// Divides by d in place.
void divideWide(U256 &v, uint64_t d) {
    uint64_t rem = 0;
    for (int i = 3; i >= 0; --i) v.w[i] = divide128by64(rem, v.w[i], d, &rem);
}

// fitNative for a 256-bit digit string.
void fitWide(kivFixed *r, U256 m, int64_t scale, bool negative) {
    int64_t drop = scale - r->scale;  // digits below r's last position
    while (drop > 0 && (m.w[2] | m.w[3]) != 0) {
        const unsigned step = drop > 19 ? 19 : static_cast<unsigned>(drop);
        divideWide(m, static_cast<uint64_t>(kPow10[step]));
        drop -= step;
    }
    // At least 2^128 > 10^38 remains: more than r can hold.
    if ((m.w[2] | m.w[3]) != 0) return setInfinity(r, negative);
    fitNative(r, (static_cast<u128>(m.w[1]) << 64) | m.w[0], r->scale + drop, negative);
}

// Operands and result of one type with a scale >= 0, the usual shape of fixed-point code.
inline bool uniformType(const kivFixed *r, const kivFixed *a, const kivFixed *b) {
    uint32_t ta, tb, tr;  // digits and scale together
    std::memcpy(&ta, a, 4);
    std::memcpy(&tb, b, 4);
    std::memcpy(&tr, r, 4);
    return ta == tr && tb == tr && r->scale >= 0;
}

// Both states finite (12 or 13).
inline bool bothFinite(unsigned sa, unsigned sb) {
    return ((sa - kPositive) | (sb - kPositive)) <= 1;
}

// Finite operands and a result of one type with a scale >= 0 that fits a word W: the packed
// digits and signs of both operands.
template <class W>
struct UniformOperands {
    W x, y;
    bool xNegative, yNegative;
};
template <class W>
inline bool loadUniform(const kivFixed *r, const kivFixed *a, const kivFixed *b,
                        UniformOperands<W> *out) {
    if (!fitsWord<W>(r) || !uniformType(r, a, b)) return false;
    const W wa = loadPacked<W>(a), wb = loadPacked<W>(b);
    const unsigned sa = static_cast<unsigned>(wa) & 15u, sb = static_cast<unsigned>(wb) & 15u;
    if (!bothFinite(sa, sb)) return false;
    *out = {wa >> 4, wb >> 4, sa == kNegative, sb == kNegative};
    return true;
}

// Writes a binary digit string, or the infinity of the sign when it does not fit r (at most
// 31 digits).
inline void storeBinary(kivFixed *r, u128 q, bool negative) {
    if (q >= kPow10[r->digits]) return setInfinity(r, negative);
    if (fitsWord<uint64_t>(r))
        return storePacked<uint64_t>(r, binaryToPacked64(static_cast<uint64_t>(q)), negative);
    storePacked(r, binaryToPacked(q), negative);
}

// One type of at most 15 digits: 64-bit binary operands, a product of at most 30 digits cut
// by the scale.
inline bool mulUniform64(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    UniformOperands<uint64_t> o;
    if (!loadUniform(r, a, b, &o)) return false;
    const uint64_t x = bcdToBinary(o.x), y = bcdToBinary(o.y);
    const u128 p = static_cast<u128>(x) * y;
    const unsigned scale = static_cast<unsigned>(r->scale);
    u128 q;
    if (hi64(p) == 0) {
        q = divPow10(static_cast<uint64_t>(p), scale);
    } else {
        u128 rem;
        q = divPow10(p, scale, &rem);
    }
    storeBinary(r, q, o.xNegative != o.yNegative && x != 0 && y != 0);
    return true;
}

// One type of 16 to 31 digits whose digit strings fit 64 bits each: a 128-bit product, cut by
// the scale with multiplications by reciprocals of powers of ten.
inline bool mulUniform128(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    UniformOperands<u128> o;
    if (!loadUniform(r, a, b, &o)) return false;
    const u128 x = packedToBinary(o.x), y = packedToBinary(o.y);
    if (hi64(x) != 0 || hi64(y) != 0) return false;
    const bool negative = o.xNegative != o.yNegative && x != 0 && y != 0;
    u128 packed;
    const u128 p = static_cast<u128>(static_cast<uint64_t>(x)) * static_cast<uint64_t>(y);
    if (!dividePow10ToPacked(p, static_cast<unsigned>(r->scale), &packed) ||
        (packed >> (4 * r->digits)) != 0) {
        setInfinity(r, negative);
    } else {
        storePacked(r, packed, negative);
    }
    return true;
}

bool mulNative(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative) {
    if (!fitsNative(a) || !fitsNative(b) || !fitsNative(r)) return false;
    const u128 x = loadDigits(a), y = loadDigits(b);
    const int64_t scale = int64_t{a->scale} + b->scale;
    if (x == 0 || y == 0) {
        fitNative(r, 0, scale, false);
    } else {
        fitWide(r, multiplyWide(x, y), scale, negative);
    }
    return true;
}

// --- Division --------------------------------------------------------------------------------
//
// The quotient's digit string is floor(Da x 10^shift / Db) with shift = r.scale - a.scale +
// b.scale: the exact quotient truncated at r's last digit.

void divideByZero(kivFixed *r, bool dividendZero, bool negative) {
    if (dividendZero) return setSpecial(r, kNaN);
    setInfinity(r, negative);
}

// floor(x x 10^shift / y) into r (at most 38 digits); false when the dividend exceeds 128 bits.
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
    if (q >= kPow10[r->digits]) {
        setInfinity(r, negative);
    } else {
        storeDigits(r, q, negative);
    }
    return true;
}

// One type of at most 31 digits, a divisor below 2^64 that is not zero: the quotient's digit
// string floor(x x 10^scale / y) takes one hardware division while it fits 64 bits, two
// otherwise.
template <class W>
inline bool divUniform(kivFixed *r, const kivFixed *a, const kivFixed *b) {
    UniformOperands<W> o;
    if (!loadUniform(r, a, b, &o)) return false;
    const unsigned scale = static_cast<unsigned>(r->scale);
    u128 dividend, y;
    if (sizeof(W) == 8) {  // below 10^30
        dividend = static_cast<u128>(bcdToBinary(static_cast<uint64_t>(o.x))) *
                   static_cast<uint64_t>(kPow10[scale]);
        y = bcdToBinary(static_cast<uint64_t>(o.y));
    } else {
        const u128 x = packedToBinary(o.x);
        y = packedToBinary(o.y);
        if (hi64(y) != 0 || x >= kPow10[kNativeDigits - scale]) return false;
        dividend = x * kPow10[scale];
    }
    if (y == 0) return false;
    uint64_t rem;
    storeBinary(r, divmod64(dividend, static_cast<uint64_t>(y), &rem), o.xNegative != o.yNegative);
    return true;
}

bool divNative(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative) {
    if (!fitsNative(a) || !fitsNative(b) || !fitsNative(r)) return false;
    const u128 x = loadDigits(a), y = loadDigits(b);
    if (y == 0) {
        divideByZero(r, x == 0, negative);
        return true;
    }
    return divideNative(r, x, y, int64_t{r->scale} - a->scale + b->scale, negative);
}

// --- Comparison ------------------------------------------------------------------------------

// Magnitude comparison of finite operands: -1, 0, 1; false when they are not native.
bool compareNative(const kivFixed *a, const kivFixed *b, int *c, bool *bothZero) {
    if (!fitsNative(a) || !fitsNative(b)) return false;
    const int64_t scale = std::max(a->scale, b->scale);
    const int64_t ka = scale - a->scale, kb = scale - b->scale;
    if (a->digits + ka > kNativeDigits || b->digits + kb > kNativeDigits) return false;
    const u128 x = loadDigits(a) * kPow10[ka], y = loadDigits(b) * kPow10[kb];
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

// -1, 0, 1 for finite operands of one scale that fit a word W, whose packed digits compare as
// integers; 2 otherwise.
template <class W>
inline int comparePacked(const kivFixed *a, const kivFixed *b) {
    PackedValue<W> x, y;
    if (a->scale != b->scale || !loadFinitePacked(a, &x) || !loadFinitePacked(b, &y)) return 2;
    if (x.negative != y.negative) return (x.digits | y.digits) == 0 ? 0 : (x.negative ? -1 : 1);
    const int c = x.digits < y.digits ? -1 : (x.digits > y.digits ? 1 : 0);
    return x.negative ? -c : c;
}

bool relationHolds(int c, int op) {
    switch (op) {
        case KIV_FIXED_EQ:
            return c == 0;
        case KIV_FIXED_NE:
            return c != 0;
        case KIV_FIXED_LT:
            return c < 0;
        case KIV_FIXED_LE:
            return c <= 0;
        case KIV_FIXED_GE:
            return c >= 0;
        case KIV_FIXED_GT:
            return c > 0;
        default:
            return false;
    }
}

// Everything but the packed fast paths: special values, other types, long records.
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

// The 64-bit packed paths are inlined into the public functions; the 128-bit ones and the rest
// stay out of line so that the short path keeps few registers to save.
__attribute__((noinline)) bool addPacked128(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                            bool subtract) {
    return addPacked<u128>(r, a, b, subtract);
}

__attribute__((noinline)) void mulRest(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                       Path path) {
    if (path == Path::Fast) {
        if (!fitsWord<uint64_t>(r) && mulUniform128(r, a, b)) return;
    }
    mulOther(r, a, b, path);
}

__attribute__((noinline)) void divRest(kivFixed *r, const kivFixed *a, const kivFixed *b,
                                       Path path) {
    if (path == Path::Fast) {
        if (!fitsWord<uint64_t>(r) && divUniform<u128>(r, a, b)) return;
    }
    divOther(r, a, b, path);
}

}  // namespace

void addFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, bool subtract, Path path) {
    if (path == Path::Fast) {
        if (allShort(a, b, r) ? addPacked<uint64_t>(r, a, b, subtract)
                              : addPacked128(r, a, b, subtract))
            return;
    }
    addOther(r, a, b, subtract, path);
}

void mulFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, Path path) {
    if (path == Path::Fast && mulUniform64(r, a, b)) return;
    mulRest(r, a, b, path);
}

void divFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, Path path) {
    if (path == Path::Fast && divUniform<uint64_t>(r, a, b)) return;
    divRest(r, a, b, path);
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
    if (path == Path::Fast && fitsNative(v) && fitsNative(r)) {
        const u128 m = loadDigits(v);
        return fitNative(r, m, v->scale, negative && m != 0);
    }
    const DigitView x(v);
    const bool resultNegative = negative && !x.isZero();
    DigitSink out(r);
    for (int64_t e = x.lowExp(); e < x.highExp(); ++e) out.put(e, x.atExp(e));
    out.finish(resultNegative);
}

int cmpFixed(const kivFixed *a, const kivFixed *b, int op, Path path) {
    if (path == Path::Fast) {
        const int c = allShort(a, b, a) ? comparePacked<uint64_t>(a, b) : comparePacked<u128>(a, b);
        if (c != 2) return relationHolds(c, op);
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
