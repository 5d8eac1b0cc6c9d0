// Addition, subtraction, multiplication, division, negation and comparison of kivFixed values.
#include "fixed/fixed.h"
#include "fixed/native.h"

namespace kiv::fixed {
namespace {

// --- Addition and subtraction -------------------------------------------------------------
//
// Both reduce to adding a and b with effective signs (b's inverted for a subtraction). Equal
// signs add the magnitudes and keep the sign; opposite signs subtract the smaller magnitude
// from the larger and take the larger one's sign, +0 when they are equal.

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

bool mulNative(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative) {
    if (!fitsNative(a) || !fitsNative(b) || !fitsNative(r)) return false;
    const u128 x = loadDigits(a), y = loadDigits(b);
    const int64_t scale = int64_t{a->scale} + b->scale;
    if (x == 0 || y == 0) {
        fitNative(r, 0, scale, false);
    } else if (hi64(x) == 0 && hi64(y) == 0) {
        fitNative(r, static_cast<u128>(static_cast<uint64_t>(x)) * static_cast<uint64_t>(y), scale,
                  negative);
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

bool divNative(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative) {
    if (!fitsNative(a) || !fitsNative(b) || !fitsNative(r)) return false;
    const u128 x = loadDigits(a), y = loadDigits(b);
    if (y == 0) {
        divideByZero(r, x == 0, negative);
        return true;
    }
    const int64_t shift = int64_t{r->scale} - a->scale + b->scale;
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

// --- Comparison ------------------------------------------------------------------------------

// Magnitude comparison of finite operands: -1, 0, 1; nullopt-like false when not native.
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

}  // namespace

void addFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, bool subtract, Path path) {
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

void mulFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, Path path) {
    const int sa = stateOf(a), sb = stateOf(b);
    if (isNaNState(sa)) return copyNaN(r, a);
    if (isNaNState(sb)) return copyNaN(r, b);
    const bool negative = isNegativeState(sa) != isNegativeState(sb);
    if (!isFiniteState(sa) || !isFiniteState(sb)) return setInfinity(r, negative);
    if (path == Path::Fast && mulNative(r, a, b, negative)) return;
    mulLimbs(r, a, b, negative);
}

void divFixed(kivFixed *r, const kivFixed *a, const kivFixed *b, Path path) {
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

void negateFixed(kivFixed *r, const kivFixed *v, Path path) {
    const int s = stateOf(v);
    if (isNaNState(s)) return copyNaN(r, v);
    if (s == kPosInf || s == kNegInf) return setSpecial(r, s == kPosInf ? kNegInf : kPosInf);
    const bool negative = s == kPositive;  // inverted
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
