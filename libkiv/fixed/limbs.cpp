// SPDX-License-Identifier: Apache-2.0
// Multiplication and division of finite kivFixed values of any size, on digit strings held in
// base-10^9 limbs in scratch storage of the call: small arrays for common sizes, arrays sized
// for the largest records (about 90 KB of stack) only when an operand needs them.
#include "fixed/fixed.h"
#include "fixed/native.h"

namespace kiv::fixed {
namespace {

constexpr uint32_t kBase = 1000000000;
constexpr int64_t kLimbDigits = 9;

constexpr int64_t limbsFor(int64_t digits) {
    return digits <= 0 ? 0 : (digits + kLimbDigits - 1) / kLimbDigits;
}

// Scratch sizes in limbs. An operand has at most 65535 digits; a dividend may have as many
// digits as the quotient (at most 65535, or the result is an infinity) plus the divisor.
constexpr size_t kSmallLimbs = 128;
constexpr size_t kMaxOperandLimbs = limbsFor(65535);
constexpr size_t kMaxDividendLimbs = limbsFor(2 * 65535);

int64_t significantDigits(const DigitView &x) {
    return x.digits() - x.firstNonZero();
}

// The digit string of x times 10^shift (a negative shift drops the lowest -shift digits) as
// limbs, least significant first, without leading zero limbs. `out` holds limbsFor(significant
// digits + shift) limbs. Digit nibbles above 9 are read as 9.
size_t toLimbs(const DigitView &x, int64_t shift, uint32_t *out) {
    const int64_t total = significantDigits(x) + shift;
    const int64_t n = limbsFor(total);
    const int64_t last = x.digits() - 1 + shift;  // index of the digit at position t is last - t
    for (int64_t k = 0; k < n; ++k) {
        uint32_t limb = 0;
        for (int64_t t = std::min(k * kLimbDigits + kLimbDigits, total) - 1; t >= k * kLimbDigits;
             --t)
            limb = limb * 10 + std::min(x.at(last - t), 9u);
        out[k] = limb;
    }
    int64_t used = n;
    while (used > 0 && out[used - 1] == 0) --used;
    return static_cast<size_t>(used);
}

// Puts the nine digits of a limb with exponents from e upward.
void putLimb(DigitSink &out, uint32_t limb, int64_t e) {
    for (int64_t j = 0; j < kLimbDigits; ++j, limb /= 10) out.put(e + j, limb % 10);
}

// Column by column from the least significant, so that the product is never stored: each
// column's limb goes to the sink, which keeps only the result's positions.
template <size_t Capacity>
__attribute__((noinline)) void multiplyInto(DigitSink &out, const DigitView &x, const DigitView &y,
                                            int64_t lowExp) {
    uint32_t a[Capacity], b[Capacity];
    const size_t na = toLimbs(x, 0, a), nb = toLimbs(y, 0, b);
    u128 acc = 0;
    size_t col = 0;
    for (; col + 1 < na + nb; ++col) {
        const size_t first = col >= nb ? col - nb + 1 : 0, end = std::min(col + 1, na);
        for (size_t i = first; i < end; ++i) acc += static_cast<uint64_t>(a[i]) * b[col - i];
        uint64_t limb;
        acc = divmod64(acc, kBase, &limb);
        putLimb(out, static_cast<uint32_t>(limb), lowExp + static_cast<int64_t>(col) * kLimbDigits);
    }
    for (; acc != 0; ++col) {
        uint64_t limb;
        acc = divmod64(acc, kBase, &limb);
        putLimb(out, static_cast<uint32_t>(limb), lowExp + static_cast<int64_t>(col) * kLimbDigits);
    }
}

// u (nu limbs, u[nu] writable) divided by v (nv limbs, top limb not zero, nu >= nv); v is
// changed. Returns where the quotient's nu - nv + 1 limbs start, least significant first.
const uint32_t *divideLimbs(uint32_t *u, size_t nu, uint32_t *v, size_t nv) {
    if (nv == 1) {
        uint64_t rem = 0;
        for (size_t j = nu; j-- > 0;) {
            const uint64_t cur = rem * kBase + u[j];
            u[j] = static_cast<uint32_t>(cur / v[0]);
            rem = cur % v[0];
        }
        u[nu] = 0;
        return u;
    }
    // Normalise so that v's top limb is at least half the base; then each estimated quotient
    // limb is at most one too large.
    const uint64_t d = kBase / (uint64_t{v[nv - 1]} + 1);
    uint64_t carry = 0;
    for (size_t i = 0; i < nv; ++i) {
        const uint64_t p = v[i] * d + carry;
        v[i] = static_cast<uint32_t>(p % kBase);
        carry = p / kBase;
    }
    carry = 0;
    for (size_t i = 0; i < nu; ++i) {
        const uint64_t p = u[i] * d + carry;
        u[i] = static_cast<uint32_t>(p % kBase);
        carry = p / kBase;
    }
    u[nu] = static_cast<uint32_t>(carry);

    const uint64_t vTop = v[nv - 1], vNext = v[nv - 2];
    for (size_t j = nu - nv + 1; j-- > 0;) {
        const uint64_t num = uint64_t{u[j + nv]} * kBase + u[j + nv - 1];
        uint64_t qhat = num / vTop, rhat = num % vTop;
        while (qhat >= kBase || qhat * vNext > rhat * kBase + u[j + nv - 2]) {
            --qhat;
            rhat += vTop;
            if (rhat >= kBase) break;
        }
        int64_t borrow = 0;
        uint64_t mulCarry = 0;
        for (size_t i = 0; i < nv; ++i) {
            const uint64_t p = qhat * v[i] + mulCarry;
            mulCarry = p / kBase;
            int64_t t = int64_t{u[i + j]} - static_cast<int64_t>(p % kBase) - borrow;
            borrow = t < 0;
            u[i + j] = static_cast<uint32_t>(borrow ? t + kBase : t);
        }
        if (int64_t{u[j + nv]} - static_cast<int64_t>(mulCarry) - borrow < 0) {
            // qhat was one too large: add v back; the carry out cancels the borrow.
            --qhat;
            uint32_t addCarry = 0;
            for (size_t i = 0; i < nv; ++i) {
                uint32_t s = u[i + j] + v[i] + addCarry;
                addCarry = s >= kBase;
                u[i + j] = addCarry ? s - kBase : s;
            }
        }
        u[j + nv] = static_cast<uint32_t>(qhat);  // the remainder fits below it
    }
    return u + nv;
}

template <size_t DividendCapacity, size_t DivisorCapacity>
__attribute__((noinline)) void divideInto(DigitSink &out, const DigitView &x, int64_t shift,
                                          const DigitView &y) {
    uint32_t u[DividendCapacity + 1], v[DivisorCapacity];
    const size_t nu = toLimbs(x, shift, u), nv = toLimbs(y, 0, v);
    const uint32_t *q = divideLimbs(u, nu, v, nv);
    for (size_t k = 0; k + nv <= nu; ++k)
        putLimb(out, q[k], out.lowExp() + static_cast<int64_t>(k) * kLimbDigits);
}

}  // namespace

void mulLimbs(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative) {
    const DigitView x(a), y(b);
    DigitSink out(r);
    const int64_t sx = significantDigits(x), sy = significantDigits(y);
    if (sx == 0 || sy == 0) return out.finish(false);
    const int64_t lowExp = x.lowExp() + y.lowExp();
    // 10^(sx + sy - 2) <= product < 10^(sx + sy): skip the work when it cannot fit or lies
    // wholly below the result's last position.
    if (lowExp + sx + sy - 2 >= out.highExp()) return setInfinity(r, negative);
    if (lowExp + sx + sy <= out.lowExp()) return out.finish(negative);
    if (limbsFor(sx) <= int64_t{kSmallLimbs} && limbsFor(sy) <= int64_t{kSmallLimbs}) {
        multiplyInto<kSmallLimbs>(out, x, y, lowExp);
    } else {
        multiplyInto<kMaxOperandLimbs>(out, x, y, lowExp);
    }
    out.finish(negative);
}

void divLimbs(kivFixed *r, const kivFixed *a, const kivFixed *b, bool negative) {
    const DigitView x(a), y(b);
    DigitSink out(r);
    // The quotient's digit string is floor(Da x 10^shift / Db).
    const int64_t shift = int64_t{r->scale} - a->scale + b->scale;
    // Da x 10^shift compared with Db x 10^digits: the quotient does not fit when not less.
    if (compareMagnitudes(x, x.scale() + shift, y, y.scale() + r->digits) >= 0)
        return setInfinity(r, negative);
    if (compareMagnitudes(x, x.scale() + shift, y, y.scale()) < 0) return out.finish(negative);
    const int64_t nu = limbsFor(significantDigits(x) + shift), nv = limbsFor(significantDigits(y));
    if (nu <= int64_t{2 * kSmallLimbs} && nv <= int64_t{kSmallLimbs}) {
        divideInto<2 * kSmallLimbs, kSmallLimbs>(out, x, shift, y);
    } else {
        divideInto<kMaxDividendLimbs, kMaxOperandLimbs>(out, x, shift, y);
    }
    out.finish(negative);
}

}  // namespace kiv::fixed
