// SPDX-License-Identifier: Apache-2.0
// Rounding, truncation, and the integer and fraction parts of kivFixed values.
#include "fixed/fixed.h"
#include "fixed/native.h"

namespace kiv::fixed {
namespace {

bool isRoundingMode(int mode) {
    return mode >= KIV_FIXED_ROUND_FLOOR && mode <= KIV_FIXED_ROUND_HALF_DOWN;
}

// A finite value that fits a word W into a result of its own type: rounds the packed digits.
template <class W>
inline bool roundPacked(kivFixed *r, const kivFixed *v, int64_t scale, int mode) {
    PackedValue<W> x;
    if (r->digits != v->digits || r->scale != v->scale || !loadFinitePacked(v, &x)) return false;
    W m = x.digits;
    const int64_t drop = int64_t{v->scale} - scale;
    if (isRoundingMode(mode) && drop > 0) {
        if (drop > v->digits) return false;
        const unsigned bits = 4 * static_cast<unsigned>(drop);
        const W rest = m & ((W{1} << bits) - 1), halfUnit = W{5} << (bits - 4);
        const int half = rest < halfUnit ? -1 : (rest > halfUnit ? 1 : 0);
        m >>= bits;
        if (roundsUp(mode, half, rest != 0, (m & 1) != 0, x.negative)) m = packedAdd<W>(m, 1);
        m <<= bits;
        if (m >> (4 * r->digits)) {
            setInfinity(r, x.negative);
            return true;
        }
    }
    storePacked(r, m, x.negative);
    return true;
}

// A finite value of up to 15 (31) digits into a result of any type: the dropped digits are the
// low nibbles of the packed word, the rounding step a packed addition of one unit, and the
// result's scale a shift. False when the general paths must run.
template <class W>
inline bool roundAligned(kivFixed *r, const kivFixed *v, int64_t scale, int mode) {
    PackedValue<W> x;
    if (!loadFinitePacked(v, &x)) return false;
    W m = x.digits;
    const int64_t drop = int64_t{v->scale} - scale;
    if (!isRoundingMode(mode) || drop <= 0) return fitPackedWord(r, m, v->scale, x.negative);
    if (drop > v->digits) return false;
    const unsigned bits = 4 * static_cast<unsigned>(drop);
    const W rest = m & ((W{1} << bits) - 1), halfUnit = W{5} << (bits - 4);
    const int half = rest < halfUnit ? -1 : (rest > halfUnit ? 1 : 0);
    m >>= bits;  // a digit fewer than the word holds: room for the carry
    if (roundsUp(mode, half, rest != 0, (m & 1) != 0, x.negative)) m = packedAdd<W>(m, 1);
    return fitPackedWord(r, m, scale, x.negative);
}

// Rounds |v| to a multiple of 10^-scale: the dropped digits are those below exponent -scale.
bool roundNative(kivFixed *r, const kivFixed *v, int64_t scale, int mode, bool negative) {
    u128 m;
    if (!loadMagnitude(v, &m)) return false;
    const int64_t drop = int64_t{v->scale} - scale;
    if (!isRoundingMode(mode) || drop <= 0) return fitMagnitude(r, m, v->scale, negative);
    u128 kept = 0, rest = m;
    int half = -1;  // dropping 39 or more digits: the first dropped one lies above v's digits
    if (drop <= kNativeDigits) {
        kept = divPow10(m, static_cast<unsigned>(drop), &rest);
        const u128 halfUnit = 5 * kPow10[drop - 1];
        half = rest < halfUnit ? -1 : (rest > halfUnit ? 1 : 0);
    }
    kept += roundsUp(mode, half, rest != 0, (kept & 1) != 0, negative);
    return fitMagnitude(r, kept, scale, negative);
}

void roundDigits(kivFixed *r, const kivFixed *v, int64_t scale, int mode, bool negative) {
    const DigitView x(v);
    DigitSink out(r);
    const int64_t keep = -scale;  // exponent of the last kept digit
    if (!isRoundingMode(mode) || keep <= x.lowExp()) {
        for (int64_t e = x.lowExp(); e < x.highExp(); ++e) out.put(e, x.atExp(e));
        return out.finish(negative);
    }
    // Every dropped digit is read before the first kept one is written.
    const unsigned first = x.atExp(keep - 1);
    const bool beyond = x.anyNonZero(x.lowExp(), keep - 1);
    const int half = first > 5 || (first == 5 && beyond) ? 1 : (first == 5 ? 0 : -1);
    unsigned carry = roundsUp(mode, half, first != 0 || beyond, x.atExp(keep) & 1, negative);
    for (int64_t e = keep; e < x.highExp(); ++e) {
        unsigned s = x.atExp(e) + carry;
        carry = s >= 10;
        out.put(e, carry ? s - 10 : s);
    }
    if (carry) out.put(std::max(keep, x.highExp()), 1);
    out.finish(negative);
}

// n x 10 + d over the digits with exponents from `high` - 1 down to `low`, modulo 2^32.
uint32_t wrappedDigits(const DigitView &x, int64_t high, int64_t low) {
    uint32_t n = 0;
    for (int64_t e = high - 1; e >= low; --e) n = n * 10 + x.atExp(e);
    return n;
}

__attribute__((noinline)) void roundOther(kivFixed *r, const kivFixed *v, int64_t scale, int mode,
                                          Path path) {
    const int s = stateOf(v);
    if (isNaNState(s)) return copyNaN(r, v);
    if (!isFiniteState(s)) return setSpecial(r, s);
    const bool negative = s == kNegative;
    if (path == Path::Fast && roundNative(r, v, scale, mode, negative)) return;
    roundDigits(r, v, scale, mode, negative);
}

}  // namespace

void roundFixed(kivFixed *r, const kivFixed *v, int64_t scale, int mode, Path path) {
    if (path == Path::Fast) {
        if (fitsWord<uint64_t>(v)
                ? roundPacked<uint64_t>(r, v, scale, mode) ||
                      roundAligned<uint64_t>(r, v, scale, mode)
                : roundPacked<u128>(r, v, scale, mode) || roundAligned<u128>(r, v, scale, mode))
            return;
    }
    roundOther(r, v, scale, mode, path);
}

}  // namespace kiv::fixed

using kiv::fixed::Path;

void kivFixedRound2(kivFixed *r, const kivFixed *v, int32_t scale, int32_t mode) {
    kiv::fixed::roundFixed(r, v, scale, mode, Path::Fast);
}

void kivFixedRound(kivFixed *r, const kivFixed *v, int32_t scale) {
    kiv::fixed::roundFixed(r, v, scale, KIV_FIXED_ROUND_HALF_EVEN, Path::Fast);
}

// Truncation is rounding toward zero, at every position.
void kivFixedTruncate(kivFixed *r, const kivFixed *v, int32_t scale) {
    kiv::fixed::roundFixed(r, v, scale, KIV_FIXED_ROUND_DOWN, Path::Fast);
}

int32_t kivFixedIntegerPart(const kivFixed *v) {
    using namespace kiv::fixed;
    const int s = stateOf(v);
    if (!isFiniteState(s)) return 0;
    const DigitView x(v);
    uint32_t n = wrappedDigits(x, x.highExp(), 0);
    if (s == kNegative) n = 0u - n;
    return static_cast<int32_t>(n);
}

int32_t kivFixedFractionPart(const kivFixed *v) {
    using namespace kiv::fixed;
    if (!isFiniteState(stateOf(v))) return 0;
    return static_cast<int32_t>(wrappedDigits(DigitView(v), 0, -int64_t{v->scale}));
}
