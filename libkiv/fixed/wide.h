// SPDX-License-Identifier: Apache-2.0
// Fixed-width arithmetic for outcomes of up to 76 digits: operands whose digit strings are
// below 10^38, products, aligned sums and scaled dividends in 256-bit binary, results brought
// to packed decimal in 64-bit words of sixteen digits and fitted to the result by nibble shifts.
#pragma once

#include "fixed/native.h"

namespace kiv::fixed {

// A 256-bit binary integer, w[0] least significant.
struct U256 {
    uint64_t w[4];
};

// Up to 80 packed digits, sixteen per word, w[0] holding the least significant.
struct Packed80 {
    static constexpr unsigned kWords = 5, kDigits = 16 * kWords;
    uint64_t w[kWords];
};

U256 multiplyWide(u128 x, u128 y);

// Fits the exact value m x 10^-scale to r like fitMagnitude, for m of up to 80 digits. False,
// with r untouched, only when r is wider than 80 digits and the fitted digits would not fit
// 80 nibbles.
bool fitPacked80(kivFixed *r, Packed80 m, int64_t scale, bool negative);

// Products, quotients and sums of finite operands whose outcome leaves the 128-bit paths; each
// is false, with r untouched, when an intermediate would pass 76 digits. The product of digit
// strings x and y (scale: the sum of the operands' scales):
bool mulMagnitudes(kivFixed *r, u128 x, u128 y, int64_t scale, bool negative);
// The same for digit strings of up to 32 digits given as base-10^16 digits (x[1] x 10^16 +
// x[0]), in columns of that base.
bool mulBase16(kivFixed *r, const uint64_t x[2], const uint64_t y[2], int64_t scale, bool negative);
// floor(x x 10^shift / y) at r's scale, y not zero.
bool divMagnitudes(kivFixed *r, u128 x, u128 y, int64_t shift, bool negative);
// x at scale sx plus y at scale sy with the signs as they enter the sum.
bool addMagnitudes(kivFixed *r, u128 x, int64_t sx, u128 y, int64_t sy, bool xNeg, bool yNeg);

}  // namespace kiv::fixed
