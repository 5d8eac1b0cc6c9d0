// SPDX-License-Identifier: Apache-2.0
// Digit access, result writing and special values shared by the kivFixed family.
#include <cstring>

#include "fixed/fixed.h"

namespace kiv::fixed {

void setSpecial(kivFixed *v, int state) {
    uint8_t *p = packedOf(v);
    const size_t n = packedLength(v->digits);
    std::memset(p, 0, n - 1);
    p[n - 1] = static_cast<uint8_t>(state);
}

void copyNaN(kivFixed *r, const kivFixed *v) {
    int state = stateOf(v);
    if (state < kNaN) state = kOtherNaN;
    const size_t rn = packedLength(r->digits);
    const size_t k = std::min(rn, packedLength(v->digits));
    uint8_t *p = packedOf(r);
    std::memmove(p, packedOf(v), k);
    std::memset(p + k, 0, rn - k);
    p[rn - 1] = static_cast<uint8_t>((p[rn - 1] & 0xF0u) | static_cast<unsigned>(state));
}

int64_t DigitView::firstNonZero() const {
    const int64_t n = digits_ / 2 + 1;
    for (int64_t k = 0; k < n; ++k) {
        unsigned b = p_[k];
        if (k == 0 && pad_) b &= 0x0Fu;
        if (k == n - 1) b &= 0xF0u;  // the state nibble
        if (b == 0) continue;
        return (b >> 4) ? 2 * k - pad_ : 2 * k + 1 - pad_;
    }
    return digits_;
}

bool DigitView::anyNonZero(int64_t from, int64_t to) const {
    from = std::max(from, lowExp());
    to = std::min(to, highExp());
    for (int64_t e = from; e < to; ++e)
        if (atExp(e) != 0) return true;
    return false;
}

int compareMagnitudes(const DigitView &x, int64_t xShift, const DigitView &y, int64_t yShift) {
    const int64_t fx = x.firstNonZero(), fy = y.firstNonZero();
    const bool xZero = fx == x.digits(), yZero = fy == y.digits();
    if (xZero || yZero) return xZero == yZero ? 0 : (xZero ? -1 : 1);
    // Leading digits at different exponents decide at once.
    const int64_t tx = x.expOfIndex(fx) + xShift, ty = y.expOfIndex(fy) + yShift;
    if (tx != ty) return tx > ty ? 1 : -1;
    const int64_t low = std::min(x.lowExp() + xShift, y.lowExp() + yShift);
    for (int64_t e = tx; e >= low; --e) {
        unsigned dx = x.atExp(e - xShift), dy = y.atExp(e - yShift);
        if (dx != dy) return dx > dy ? 1 : -1;
    }
    return 0;
}

DigitWriter::DigitWriter(kivFixed *r)
    : r_(r),
      p_(packedOf(r)),
      lo_(-int64_t{r->scale}),
      hi_(int64_t{r->digits} - r->scale),
      pad_((r->digits & 1u) ^ 1u) {}

void DigitWriter::clear() {
    std::memset(p_, 0, packedLength(r_->digits));
}

void DigitWriter::setState(bool negative) {
    const size_t n = packedLength(r_->digits);
    if (pad_) p_[0] &= 0x0Fu;
    p_[n - 1] = static_cast<uint8_t>((p_[n - 1] & 0xF0u) | (negative ? kNegative : kPositive));
}

void DigitSink::finish(bool negative) {
    if (overflow_) return setInfinity(r_, negative);
    while (next_ < hi_) set(next_++, 0);
    setState(negative);
}

bool roundsUp(int mode, int half, bool rest, bool odd, bool negative) {
    switch (mode) {
        case KIV_FIXED_ROUND_FLOOR:
            return rest && negative;
        case KIV_FIXED_ROUND_CEILING:
            return rest && !negative;
        case KIV_FIXED_ROUND_UP:
            return rest;
        case KIV_FIXED_ROUND_HALF_CEILING:
            return half > 0 || (half == 0 && !negative);
        case KIV_FIXED_ROUND_HALF_UP:
            return half >= 0;
        case KIV_FIXED_ROUND_HALF_EVEN:
            return half > 0 || (half == 0 && odd);
        case KIV_FIXED_ROUND_HALF_DOWN:
            return half > 0;
        default:
            return false;  // none, down, and modes outside 0 to 8
    }
}

}  // namespace kiv::fixed
