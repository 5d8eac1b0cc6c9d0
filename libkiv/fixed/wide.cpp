// SPDX-License-Identifier: Apache-2.0
// Products, quotients and sums whose exact outcome or intermediate has up to 76 digits, on
// 256-bit binary integers and 80-digit packed words instead of digit-serial loops.
#include "fixed/wide.h"

namespace kiv::fixed {

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

namespace {

u128 low128(const U256 &v) {
    return (static_cast<u128>(v.w[1]) << 64) | v.w[0];
}
bool fits128(const U256 &v) {
    return (v.w[2] | v.w[3]) == 0;
}

// Divides by d in place and returns the remainder; leading zero limbs cost no division.
uint64_t divideWide(U256 &v, uint64_t d) {
    uint64_t rem = 0;
    for (int i = 3; i >= 0; --i) {
        if (rem == 0 && v.w[i] < d) {
            rem = v.w[i];
            v.w[i] = 0;
        } else {
            v.w[i] = divide128by64(rem, v.w[i], d, &rem);
        }
    }
    return rem;
}

// floor(n / d) for d >= 2^64: long division in 64-bit digits with a two-digit divisor, each
// quotient digit estimated from the leading digits and corrected against the whole divisor.
U256 divideBy128(const U256 &n, u128 d) {
    const unsigned s = static_cast<unsigned>(__builtin_clzll(hi64(d)));
    const u128 v = d << s;
    const uint64_t v1 = hi64(v), v0 = static_cast<uint64_t>(v);
    uint64_t u[5];  // n << s
    u[4] = s ? n.w[3] >> (64 - s) : 0;
    for (int i = 3; i > 0; --i) u[i] = (n.w[i] << s) | (s ? n.w[i - 1] >> (64 - s) : 0);
    u[0] = n.w[0] << s;
    U256 q{};
    for (int j = 2; j >= 0; --j) {
        uint64_t qhat, r64 = 0;
        u128 rhat;
        if (u[j + 2] >= v1) {
            qhat = ~uint64_t{0};
            rhat = ((static_cast<u128>(u[j + 2]) << 64) | u[j + 1]) - static_cast<u128>(qhat) * v1;
        } else {
            qhat = divide128by64(u[j + 2], u[j + 1], v1, &r64);
            rhat = r64;
        }
        while (hi64(rhat) == 0 && static_cast<u128>(qhat) * v0 > ((rhat << 64) | u[j])) {
            --qhat;
            rhat += v1;
        }
        // u[j..j+2] -= qhat x v. With a two-digit divisor the test above compared the whole
        // product with the window, so qhat is exact and nothing borrows.
        const u128 p0 = static_cast<u128>(qhat) * v0;
        const u128 p1 = static_cast<u128>(qhat) * v1 + hi64(p0);
        const u128 t0 = static_cast<u128>(u[j]) - static_cast<uint64_t>(p0);
        const u128 t1 = static_cast<u128>(u[j + 1]) - static_cast<uint64_t>(p1) - (hi64(t0) & 1);
        u[j] = static_cast<uint64_t>(t0);
        u[j + 1] = static_cast<uint64_t>(t1);
        q.w[j] = qhat;
    }
    return q;
}

// x x 10^k below 10^76, or false.
bool scaleUp(u128 x, int64_t k, U256 *out) {
    if (x == 0 || k == 0) {
        *out = {{static_cast<uint64_t>(x), hi64(x), 0, 0}};
        return true;
    }
    if (k > 2 * int64_t{kNativeDigits}) return false;
    if (k > int64_t{kNativeDigits}) {
        const unsigned extra = static_cast<unsigned>(k) - kNativeDigits;
        if (x >= kPow10[kNativeDigits - extra]) return false;
        x *= kPow10[extra];
        k = kNativeDigits;
    }
    *out = multiplyWide(x, kPow10[k]);
    return true;
}

int compareWide(const U256 &x, const U256 &y) {
    for (int i = 3; i >= 0; --i)
        if (x.w[i] != y.w[i]) return x.w[i] < y.w[i] ? -1 : 1;
    return 0;
}

U256 addWide(const U256 &x, const U256 &y) {
    U256 s;
    unsigned carry = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = static_cast<u128>(x.w[i]) + y.w[i] + carry;
        s.w[i] = static_cast<uint64_t>(t);
        carry = static_cast<unsigned>(hi64(t));
    }
    return s;
}

// x - y for x >= y.
U256 subtractWide(const U256 &x, const U256 &y) {
    U256 d;
    unsigned borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = static_cast<u128>(x.w[i]) - y.w[i] - borrow;
        d.w[i] = static_cast<uint64_t>(t);
        borrow = hi64(t) != 0;
    }
    return d;
}

// fitMagnitude for a 256-bit digit string and a result of up to 38 digits.
void fitNarrow(kivFixed *r, U256 m, int64_t scale, bool negative) {
    int64_t drop = scale - r->scale;  // digits below r's last position
    while (drop > 0 && !fits128(m)) {
        const unsigned step = drop > 19 ? 19 : static_cast<unsigned>(drop);
        divideWide(m, static_cast<uint64_t>(kPow10[step]));
        drop -= step;
    }
    // At least 2^128 > 10^38 left is more than the result holds.
    if (!fits128(m)) return setInfinity(r, negative);
    fitMagnitude(r, low128(m), r->scale + drop, negative);
}

// --- 80-digit packed words ---------------------------------------------------------------------

unsigned lengthOf(const Packed80 &m) {
    for (unsigned i = Packed80::kWords; i-- > 0;)
        if (m.w[i] != 0) return 16 * i + nibbleLength(m.w[i]);
    return 0;
}

// Drops the last k digits.
void shiftDown(Packed80 &m, uint64_t k) {
    const unsigned q = k >= Packed80::kDigits ? Packed80::kWords : static_cast<unsigned>(k / 16);
    const unsigned b = static_cast<unsigned>(k % 16) * 4;
    for (unsigned i = 0; i < Packed80::kWords; ++i) {
        const uint64_t lo = i + q < Packed80::kWords ? m.w[i + q] : 0;
        const uint64_t hi = i + q + 1 < Packed80::kWords ? m.w[i + q + 1] : 0;
        m.w[i] = b ? (lo >> b) | (hi << (64 - b)) : lo;
    }
}

// Appends k < 80 zeros; the digits must fit.
void shiftUp(Packed80 &m, unsigned k) {
    const unsigned q = k / 16, b = (k % 16) * 4;
    for (unsigned i = Packed80::kWords; i-- > 0;) {
        const uint64_t hi = i >= q ? m.w[i - q] : 0;
        const uint64_t lo = i >= q + 1 ? m.w[i - q - 1] : 0;
        m.w[i] = b ? (hi << b) | (lo >> (64 - b)) : hi;
    }
}

// Writes digits below 10^r.digits and the sign, a word at a time from the packed area's end;
// bytes above the 41 that 80 digits and the state take are cleared.
void storePacked80(kivFixed *r, const Packed80 &m, bool negative) {
    uint8_t *const p = packedOf(r), *end = p + r->digits / 2u + 1u;
    uint64_t below = static_cast<unsigned>(negative ? kNegative : kPositive);
    for (unsigned i = 0; i < Packed80::kWords && end > p; ++i) {
        const uint64_t w = (m.w[i] << 4) | below;
        below = m.w[i] >> 60;
        const unsigned k = end - p >= 8 ? 8 : static_cast<unsigned>(end - p);
        storeTail(end, k, w);
        end -= k;
    }
    if (end == p) return;
    *--end = static_cast<uint8_t>(below);
    std::memset(p, 0, static_cast<size_t>(end - p));
}

// The digits of m, sixteen at a time: hardware divisions by 10^16 while m is wider than 128
// bits, then multiplications.
Packed80 toPacked(U256 m) {
    uint64_t chunk[Packed80::kWords + 1] = {};
    unsigned k = 0;
    while (!fits128(m)) chunk[k++] = divideWide(m, kTen16);
    u128 rest = low128(m);
    while (hi64(rest) != 0) {
        uint64_t low;
        rest = rest >> 108 ? divmod64(rest, kTen16, &low) : splitTen16(rest, &low);
        chunk[k++] = low;
    }
    uint64_t last = static_cast<uint64_t>(rest);
    while (last != 0) {
        chunk[k++] = last % kTen16;
        last /= kTen16;
    }
    Packed80 out;
    binaryToBcd16x2(chunk[0], chunk[1], &out.w[0], &out.w[1]);
    binaryToBcd16x2(chunk[2], chunk[3], &out.w[2], &out.w[3]);
    out.w[4] = binaryToBcd16(chunk[4]);
    return out;
}

// The fitted result of a 256-bit digit string: through the 128-bit paths for results of up to
// 38 digits, else in packed words.
bool fitBinary(kivFixed *r, const U256 &m, int64_t scale, bool negative) {
    if (r->digits <= kNativeDigits) {
        fitNarrow(r, m, scale, negative);
        return true;
    }
    if (fits128(m) && low128(m) < kPow10[kNativeDigits] &&
        fitMagnitude(r, low128(m), scale, negative))
        return true;
    return fitPacked80(r, toPacked(m), scale, negative);
}

}  // namespace

bool fitPacked80(kivFixed *r, Packed80 m, int64_t scale, bool negative) {
    const int64_t shift = int64_t{r->scale} - scale, digits = r->digits;
    if (shift < 0) {
        shiftDown(m, static_cast<uint64_t>(-shift));
    } else if (shift > 0) {
        const int64_t length = lengthOf(m);
        if (length != 0) {
            if (length + shift > digits) {
                setInfinity(r, negative);
                return true;
            }
            if (length + shift > Packed80::kDigits) return false;
            shiftUp(m, static_cast<unsigned>(shift));
        }
    }
    if (lengthOf(m) > digits) {
        setInfinity(r, negative);
        return true;
    }
    storePacked80(r, m, negative);
    return true;
}

bool mulMagnitudes(kivFixed *r, u128 x, u128 y, int64_t scale, bool negative) {
    return fitBinary(r, multiplyWide(x, y), scale, negative && x != 0 && y != 0);
}

bool mulBase16(kivFixed *r, const uint64_t x[2], const uint64_t y[2], int64_t scale,
               bool negative) {
    const uint64_t x0 = x[0], x1 = x[1], y0 = y[0], y1 = y[1];
    // Columns of base-10^16 digits stay below 2^108, which splitTen16 takes.
    const u128 c0 = static_cast<u128>(x0) * y0;
    u128 c1 = static_cast<u128>(x0) * y1 + static_cast<u128>(x1) * y0;
    u128 c2 = static_cast<u128>(x1) * y1;
    uint64_t d0, d1, d2;
    c1 += splitTen16(c0, &d0);
    c2 += splitTen16(c1, &d1);
    const uint64_t d3 = splitTen16(c2, &d2);
    Packed80 m;
    binaryToBcd16x2(d0, d1, &m.w[0], &m.w[1]);
    binaryToBcd16x2(d2, d3, &m.w[2], &m.w[3]);
    m.w[4] = 0;
    return fitPacked80(r, m, scale, negative && (x0 | x1) != 0 && (y0 | y1) != 0);
}

bool divMagnitudes(kivFixed *r, u128 x, u128 y, int64_t shift, bool negative) {
    U256 n;
    if (shift < 0 || !scaleUp(x, shift, &n)) return false;
    U256 q = n;
    if (hi64(y) == 0) {
        divideWide(q, static_cast<uint64_t>(y));
    } else {
        q = divideBy128(n, y);
    }
    return fitBinary(r, q, r->scale, negative);
}

bool addMagnitudes(kivFixed *r, u128 x, int64_t sx, u128 y, int64_t sy, bool xNeg, bool yNeg) {
    const int64_t scale = std::max(sx, sy);
    U256 a, b;
    if (!scaleUp(x, scale - sx, &a) || !scaleUp(y, scale - sy, &b)) return false;
    if (xNeg == yNeg) return fitBinary(r, addWide(a, b), scale, xNeg);
    const int c = compareWide(a, b);
    if (c == 0) return fitBinary(r, U256{}, scale, false);
    return fitBinary(r, c > 0 ? subtractWide(a, b) : subtractWide(b, a), scale,
                     c > 0 ? xNeg : yNeg);
}

}  // namespace kiv::fixed
