// SPDX-License-Identifier: Apache-2.0
// Setting kivFixed records from special values, integers and doubles, and reading them back.
#include <cmath>

#include "fixed/fixed.h"

using namespace kiv::fixed;

void kivFixedSetNaN(kivFixed *v) {
    setSpecial(v, kNaN);
}

void kivFixedSetPosInfinity(kivFixed *v) {
    setSpecial(v, kPosInf);
}

void kivFixedSetNegInfinity(kivFixed *v) {
    setSpecial(v, kNegInf);
}

int kivFixedGetState(const kivFixed *v) {
    return stateOf(v);
}

// integerPart's digits go to the positions from exponent 0 upward, fractionUnits' from the
// last fraction position (exponent -scale) upward to exponent -1; digits without a position
// are dropped.
void kivFixedSet(kivFixed *v, int32_t integerPart, int32_t fractionUnits) {
    DigitWriter out(v);
    out.clear();
    const bool negative = integerPart < 0 || (integerPart == 0 && fractionUnits < 0);
    uint64_t whole = integerPart < 0 ? 0 - static_cast<uint64_t>(int64_t{integerPart})
                                     : static_cast<uint64_t>(integerPart);
    for (int64_t e = 0; whole != 0; ++e, whole /= 10) out.set(e, whole % 10);
    uint64_t units = fractionUnits < 0 ? 0 - static_cast<uint64_t>(int64_t{fractionUnits})
                                       : static_cast<uint64_t>(fractionUnits);
    for (int64_t e = -int64_t{v->scale}; units != 0 && e < 0; ++e, units /= 10)
        out.set(e, units % 10);
    out.setState(negative);
}

namespace {

// A digit from a double in [0, 10), or 0 from a non-finite one.
unsigned digitOf(double d) {
    return std::isfinite(d) ? static_cast<unsigned>(d) : 0;
}

}  // namespace

// The double's digits by repeated fmod and division (integer part, from the units upward) and
// repeated multiplication (fraction part), each step in double precision; nothing is rounded.
void kivFixedSetDouble(kivFixed *v, double x) {
    DigitWriter out(v);
    out.clear();
    if (x == 0) x = 0.0;  // -0.0 gives +0
    double ip;
    double fp = std::modf(x, &ip);
    const bool negative = 0.0 > x;
    if (negative) {
        ip = -ip;
        fp = -fp;
    }
    for (int64_t e = 0; e < out.highExp() && ip != 0; ++e) {
        out.set(e, digitOf(std::fmod(ip, 10.0)));
        ip = std::floor(ip / 10.0);
    }
    double unused;
    for (int64_t e = -1; e >= -int64_t{v->scale} && fp != 0; --e) {
        fp = fp * 10.0;
        out.set(e, digitOf(fp));
        fp = std::modf(fp, &unused);
    }
    out.setState(negative);
}

// pow(0.1, s) x F + I, each step in double precision in this order, I and F being the integer
// and fraction digits read as numbers.
double kivFixedGetDouble(const kivFixed *v) {
    const int s = stateOf(v);
    if (!isFiniteState(s)) return 0.0;
    const DigitView x(v);
    double whole = 0.0;
    for (int64_t e = x.highExp() - 1; e >= 0; --e) whole = whole * 10.0 + x.atExp(e);
    double fraction = 0.0;
    const int64_t fractionDigits = std::max<int64_t>(v->scale, 0);
    for (int64_t e = -1; e >= -fractionDigits; --e) fraction = fraction * 10.0 + x.atExp(e);
    const double scaled = std::pow(0.1, static_cast<double>(fractionDigits)) * fraction;
    const double result = scaled + whole;
    return s == kNegative ? -result : result;
}
